#!/usr/bin/env bash
# Web pages stage, in the ordinary build: lighttpd on loopback ports runs portal-web against
# the real portald with admitsim, and Debian's Chromium (headless, through chromium-driver and
# selenium) fills and submits every form; screenshots of each page at 360x740 and 1280x800
# are left in build/web-screenshots/. Then the same pages end to end with admitd in network
# namespaces: Chromium in a client namespace asks for a WAN page, lands on the login page, logs
# in and is shown the WAN page. Each part prints SKIPPED with the reason where Chromium cannot
# run or namespaces cannot be made. About a minute.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build
cmake -S "$top" -B "$build" >/dev/null
if ! cmake --build "$build" -j"$(nproc)" \
     --target portald admitsim admitd portal-web portal-login nvram_cmd >"$build/web-build.log" 2>&1; then
  grep -v '^\[' "$build/web-build.log"
  exit 1
fi
if [ ! -x /usr/bin/python3 ]; then
  echo "SKIPPED: /usr/bin/python3 is missing (the browser test needs Debian's python3-selenium)"
  exit 0
fi
echo "-- browser test: lighttpd, portal-web, portald, admitsim, Chromium"
status=0
/usr/bin/python3 "$top/tests/web/browser_test.py" "$build/bin" "$top" "$build/web-screenshots" ||
  status=$?
if [ "$status" -eq 77 ]; then  # it printed SKIPPED and the reason
  exit 0
fi
[ "$status" -eq 0 ] || exit "$status"
echo "-- end to end in network namespaces: admitd, lighttpd, portal-web, portald, Chromium"
bash "$top/tests/web/netns_e2e.sh" "$build/bin" "$top" "$build/web-screenshots"
