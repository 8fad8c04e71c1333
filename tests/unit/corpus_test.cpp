// Every file of the third-party corpus, damaged and fuzz cases included,
// loads to a picture or a clean error: no crash, no sanitizer report, no leak.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_util.h"

namespace {

TEST(Corpus, EveryFileLoadsOrFailsCleanly) {
    const std::string dir = CorpusDir();
    if (dir.empty()) GTEST_SKIP() << "no corpus beside the checkout";
    FormatRegisterAll();
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().string().find("/reference/") != std::string::npos) continue;
        LoadedFrames frames = LoadFileFrames(entry.path().string());
        if (!frames) {
            EXPECT_TRUE(frames.error.failed()) << entry.path();
            EXPECT_GT(frames.error.error, kErrorNone) << entry.path();
            EXPECT_LE(frames.error.error, kErrorFileNotFound) << entry.path();
        }
        ++files;
    }
    EXPECT_GT(files, 50);
}

}  // namespace
