#!/usr/bin/env bash
# Checks that scripts/lint refuses an include against the layer order, a system header outside platform/ and
# Qt (its includes or its names) outside gui/, and passes a tree that keeps the rules. Runs the lint on a throw-away tree in a temporary directory.
set -uo pipefail
lint="$(cd "$(dirname "$0")/.." && pwd)/lint"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

expect() { # expect WANT-STATUS DESCRIPTION
    local want=$1 what=$2 out status
    out=$("$lint" --root "$tree" --includes-only 2>&1)
    status=$?
    if [ "$status" -ne "$want" ]; then
        echo "FAIL: $what: got exit $status, want $want"; echo "$out"; failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

mkdir -p "$tree"/{base,platform,common,store,engine}/tests "$tree/testsupport"
printf '#pragma once\n' > "$tree/base/Result.h"
printf '#include "base/Result.h"\n#include <unistd.h>\n' > "$tree/platform/File.cpp"
printf '#include "platform/File.h"\n#include "base/Result.h"\n' > "$tree/common/Log.cpp"
printf '#include "common/Log.h"\n#include "testsupport/TempDir.h"\n' > "$tree/common/tests/LogTest.cpp"
printf '#include "store/Index.h"\n#include "common/Log.h"\n' > "$tree/engine/Request.cpp"
expect 0 "a tree in layer order passes"

printf '#include "common/Log.h"\n' > "$tree/platform/Upward.h"
expect 1 "platform/ including common/ is refused"
rm "$tree/platform/Upward.h"

printf '#include "engine/Request.h"\n' > "$tree/store/tests/UpwardTest.cpp"
expect 1 "a store test including engine/ is refused"
rm "$tree/store/tests/UpwardTest.cpp"

mkdir -p "$tree/tools/listpull"
printf '#include "common/Log.h"\n#include "engine/Request.h"\n' > "$tree/tools/listpull/Import.cpp"
expect 1 "an account tool including engine/ is refused"
rm -r "$tree/tools"

printf '#include "testsupport/TempDir.h"\n' > "$tree/store/NotATest.cpp"
expect 1 "library code including testsupport/ is refused"
rm "$tree/store/NotATest.cpp"

printf '#include <sys/stat.h>\n' > "$tree/store/Posix.cpp"
expect 1 "a system header outside platform/ is refused"
rm "$tree/store/Posix.cpp"

mkdir -p "$tree/gui"
printf '#include <QWidget>\nQWidget* Make(Qt::WindowFlags flags);\n' > "$tree/gui/View.cpp"
expect 0 "gui/ may include and name Qt"

qt_cases=(
    "a Qt class|QWidget* widget = nullptr;|1"
    "Qt's namespace|int align = Qt::AlignLeft;|1"
    "a Qt macro|    Q_OBJECT|1"
    "a Qt cast|auto* w = qobject_cast<Thing*>(object);|1"
    "a Qt name beside a look-alike|std::string s = QEncode(QString());|1"
    "the project's look-alike|std::string s = QEncode(text);|0"
    "a Qt name in a comment|// unlike QString, this counts bytes|0"
    "a name that only starts like one|int QMCount = 0;|0"
)
for c in "${qt_cases[@]}"; do
    IFS='|' read -r what line want <<< "$c"
    printf '%s\n' "$line" > "$tree/common/Names.cpp"
    expect "$want" "outside gui/: $what"
done
rm "$tree/common/Names.cpp"

printf '#include <QString>\n' > "$tree/common/Include.cpp"
expect 1 "a Qt include outside gui/ is refused"
rm "$tree/common/Include.cpp"

mkdir -p "$tree/elsewhere"
printf '#include "base/Result.h"\n' > "$tree/elsewhere/New.cpp"
expect 1 "a folder with no place in the layer order is refused"
rm -r "$tree/elsewhere"

expect 0 "the tree passes again once the bad includes are gone"
[ "$failures" -eq 0 ]
