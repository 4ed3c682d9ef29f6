#!/usr/bin/env bash
# Builds updlog.html: explain compiled to WebAssembly (Debian's emscripten),
# inlined with a sample log into one page that works offline from file://.
# Usage: build-page.sh OUT.html WORKDIR [VERSION]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=$1 work=$2 version=${3:-}
# Without one, the project's version (as scripts/release.sh calls it).
[ -n "$version" ] || version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
mkdir -p "$work"
# Debian's emscripten finds its node modules only here; its cache is kept
# with the build so that a second build does not rebuild the C++ library.
export NODE_PATH=/usr/share/nodejs
export EM_CACHE=${EM_CACHE:-$work/emcache}
if [ ! -d "$EM_CACHE" ]; then cp -r /usr/share/emscripten/cache "$EM_CACHE" 2>/dev/null || mkdir -p "$EM_CACHE"; fi
em++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" \
    "$root/tools/updlog/Decode.cpp" "$root/tools/updlog/PasteMatcher.cpp" "$root/tools/updlog/Diagnosis.cpp" "$root/tools/updlog/Reply.cpp" \
    "$root/tools/updlog/ExplainOutput.cpp" "$root/tools/updlog/Json.cpp" "$root/app/RunMessages.cpp" "$here/Bridge.cpp" \
    -sSINGLE_FILE=1 -sALLOW_MEMORY_GROWTH=1 -sENVIRONMENT=web -sEXPORTED_FUNCTIONS=_updlog_explain,_updlog_text,_malloc,_free \
    -sEXPORTED_RUNTIME_METHODS=UTF8ToString -sDISABLE_EXCEPTION_CATCHING=0 -o "$work/updlog.js"
python3 - "$here/updlog.html.in" "$work/updlog.js" "$root/tests/tools/updlog/logs/site_down.log" "$out.tmp" "$version" <<'PY'
import json, sys
page = open(sys.argv[1], encoding="utf-8").read()
js = open(sys.argv[2], encoding="utf-8").read()
sample = open(sys.argv[3], encoding="utf-8").read()
# The sample is a run of the end-to-end tests: its folder reads as a user's.
sample = sample.replace("Z:\\work\\wt18\\build\\win\\e2e\\site_down\\inst\\", "C:\\Program Files (x86)\\Stirpello\\")
page = page.replace("@VERSION@", sys.argv[5])
page = page.replace("@SAMPLE_JSON@", json.dumps(sample).replace("</", "<\\/"))
page = page.replace("@UPDLOG_JS@", js.replace("</script", "<\\/script"))
open(sys.argv[4], "w", encoding="utf-8").write(page)
PY
mv "$out.tmp" "$out"
