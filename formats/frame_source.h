// An animation's frames on demand, in memory that does not grow with their
// number: frame n is decoded when asked for, from the nearest checkpoint (a
// copy of the decoder taken as decoding passed) before it, and nothing but a
// few frames and the checkpoints is kept. The checkpoints are thinned as the
// file proves long (every 2nd, then every 4th, ... frame), so that they stay
// within kCheckpointMemory; at worst decoding starts again from the top.
//
// A still is a source of one frame, which its format's loader makes.
//
// Frames handed out are freed as others come, so the load budget bounds
// what the source holds at a time (its decoder, its checkpoints, the frame
// it gave last), never how many frames it gives: a frame that would not fit
// beside the rest ends the frames, "not enough memory for the rest". Each
// frame's work is bounded by the work meter, which every frame made earns
// more of.
//
// One thread at a time uses a source.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/format.h"

#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uint64_t kCheckpointMemory = uint64_t{48} << 20;
#else
constexpr uint64_t kCheckpointMemory = uint64_t{24} << 20;
#endif

struct FrameSource;

// Probes the bytes, which stay valid while the source is open, and opens
// the decoder; decodes no frame yet. None, with the request's error, when
// the file cannot be read as any format.
FrameSource* FrameSourceOpen(LoadRequest* request);
// The same for a file, which stays mapped while the source is open.
FrameSource* FrameSourceOpenFile(const char* fileName, LoadRequest* request);
void FrameSourceClose(FrameSource* source);

const FileFormat* FrameSourceFormat(const FrameSource* source);
// The frames as far as the file's structure tells (a FLIC's frame chunks, a
// GIF's image blocks); 1 for a still. Fewer once
// decoding has found damage or run out of budget before the last.
int32_t FrameSourceCount(const FrameSource* source);
// The frames the file says it has; 0 when the format does not say.
int32_t FrameSourceStatedFrames(const FrameSource* source);
// Why the frames end before the file's last one, once decoding has found it:
// damaged (what was wrong, and the frame), out of memory (the budget), or
// cancelled; ok otherwise.
Status FrameSourceEndedEarly(const FrameSource* source);

// How long one pass over the frames plays, in milliseconds: the sum of the
// delays of the frames as FrameSourceCount tells them (all of them once
// they have been decoded). Formats whose structure tells the delays answer
// without decoding; for the others every frame is decoded, and the frame
// given last is no longer valid.
uint64_t FrameSourceDuration(FrameSource* source);

// For a format that must compose every frame to go past it (GIF, SPR),
// the delays of the frames as the file's structure tells them (as many as
// FrameSourceCount), without decoding a picture; a file that states more
// frames than that ends early, damaged. False for the others, which
// go past a frame at the cost of its deltas and find damage doing so, or
// state no delays: decoding tells.
bool FrameSourceStructureDelays(FrameSource* source, std::vector<uint32_t>& each);

// The delay of every frame to the last: from the file's structure where
// FrameSourceStructureDelays tells them; otherwise every frame is decoded,
// so that damage is found and the count is the frames there are, going past
// them without making their pictures where the format can (a FLIC's deltas
// are applied, its frames not copied out). The frame given last is no
// longer valid.
void FrameSourceDelays(FrameSource* source, std::vector<uint32_t>& each);

// Frame n, a complete picture that the source owns: valid until the next
// call on the source. None when n is past the frames (the count then tells
// how many there are; `why` is the end, or what ends them there), or when
// this pass cannot reach n though the frames go on past it (out of memory,
// say, where an earlier pass went by): `why` is that failure, the count
// stays, and asking again tries again.
const Image* FrameSourceFrame(FrameSource* source, int32_t n, Status* why = nullptr);

// For a caller that reads the frames in order (once, or from the first
// again): no checkpoints are taken, which saves their memory and copying.
void FrameSourceInOrder(FrameSource* source);

// The frame that decoding begins at to reach frame n: n itself when it is
// the one given last or the next in order, otherwise the nearest checkpoint
// before it (or 0). Asking for the frames from there to n one at a time costs
// what asking for n does, and lets a caller change its mind between them.
int32_t FrameSourceStart(const FrameSource* source, int32_t n);

// Decodes one more frame ahead of all that was asked for, to lay the
// checkpoints that later requests start from, with a decoder of its own.
// False once there is nothing more to scout: the end of the frames (the
// count is then final), or checkpoints too large to keep.
bool FrameSourceScout(FrameSource* source);

// For the loads that are asked to stop from another thread.
WorkMeter& FrameSourceWork(FrameSource* source);
// The bytes of the load budget the source holds now: its decoder, its
// checkpoints and the frame it gave last.
uint64_t FrameSourceMemory(const FrameSource* source);
