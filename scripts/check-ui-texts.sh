#!/bin/sh
# Fails when a statement of the desktop's layers (app/, prefs/, auth/) holds a literal of words
# ("two words", or a word given to a control's text, title, tooltip or accessible name) that goes
# through neither tr(), QCoreApplication::translate() nor UI_TEXT(), and is neither a log line
# nor a pattern of ssh's words; each such statement is named. A literal that no person reads (a
# settings key, markup, a file's contents, the program's name) goes into
# scripts/ui-texts-allowed.txt, as it stands in the source.
set -eu
cd "$(dirname "$0")/.."
found=$(for f in app/*.cpp prefs/*.cpp auth/*.cpp; do
    awk -v file="$f" '
        { sub(/^[ \t]*\/\/.*/, ""); buf = buf " " $0 }
        # A statement ends at ";", "{" or "}"; literals holding one split early, which only
        # makes the check stricter.
        {
            while (match(buf, /[;{}]/)) {
                s = substr(buf, 1, RSTART)
                buf = substr(buf, RSTART + 1)
                if ((s ~ /"[^"]*[A-Za-z] +[A-Za-z][^"]*"/ ||
                     s ~ /(setText|Title|ToolTip|setAccessible[A-Za-z]*|PlaceholderText|addAction|addMenu)\((QStringLiteral\(|QLatin1String\(|QString::fromLatin1\()?"[A-Z]/) &&
                    s !~ /(tr|translate|UI_TEXT)\(|Log::line|fprintf|fputs|QRegularExpression|#include/) {
                    gsub(/[ \t]+/, " ", s)
                    print file ":" NR ":" s
                }
            }
        }' "$f"
done | grep -v -F -f scripts/ui-texts-allowed.txt || true)
if [ -n "$found" ]; then
    printf "%s\n" "$found" >&2
    echo "check-ui-texts.sh: texts above reach no translation (tr(), or scripts/ui-texts-allowed.txt)" >&2
    exit 1
fi
echo "check-ui-texts.sh: every text of the desktop's layers goes through a translation"
