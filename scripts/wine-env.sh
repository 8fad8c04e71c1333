# Sourced by the scripts that run the Windows builds under wine. It exports
# the wine environment, makes the prefix ready and ends wine's server on
# exit, and gives in_display, which runs a command in an X display with a
# wine server of its own.
#
# The prefix is $MOVREL_WINEPREFIX, kept between runs, or else a temporary
# one that is removed on exit. A temporary prefix is for tests: its windows
# are not managed, so that without a window manager a closing window (a
# message box) does not wait about 2 s.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${MOVREL_WINEPREFIX:-}" ]; then
  export WINEPREFIX=$MOVREL_WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
else
  WINEPREFIX=$(mktemp -d /tmp/movrel-wine.XXXXXX)
  export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "(preparing the wine prefix $WINEPREFIX)"
  mkdir -p "$WINEPREFIX"
  timeout 180 wineboot -i >/dev/null 2>&1 || true
  if [ -z "${MOVREL_WINEPREFIX:-}" ]; then
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
  fi
  timeout 60 wineserver -w || true
fi

# in_display SECONDS COMMAND [ARGS...]: runs the command on $DISPLAY when
# MOVREL_DISPLAY=current is set and there is a display, else in a virtual one
# (Xvfb, 24 bits a pixel, as the tests' pixel checks need); at most SECONDS.
# wine's helper processes outlive the programs that start them: started here
# by `wineserver -p` and the first `wine`, they hold no pipe of the command
# open, and `wineserver -k` ends them.
in_display() {
  local seconds=$1
  shift
  local run='wineserver -p; timeout 120 wine wineboot >/dev/null 2>&1; "$@"; status=$?; wineserver -k 2>/dev/null; exit $status'
  if [ "${MOVREL_DISPLAY:-}" = current ] && [ -n "${DISPLAY:-}" ]; then
    timeout "$seconds" sh -c "$run" sh "$@"
  else
    timeout "$seconds" xvfb-run -a -s "-screen 0 1024x768x24" sh -c "$run" sh "$@"
  fi
}
