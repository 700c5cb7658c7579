#!/usr/bin/env bash
# Every text the program shows has its English form: lupdate reads the
# sources into a copy of the translation file, which then must hold no
# unfinished entry. Prints the texts that lack one.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
lupdate="${LUPDATE:-}"
for candidate in "$lupdate" /usr/lib/qt6/bin/lupdate "$(command -v lupdate6 || true)" "$(command -v lupdate || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then lupdate=$candidate; break; fi
done
[ -x "$lupdate" ] || { echo "lupdate not found (Debian package qt6-l10n-tools)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/translations/quillet_en.ts" "$work/quillet_en.ts"
"$lupdate" -silent -no-obsolete -locations none "$root/src" -ts "$work/quillet_en.ts" >/dev/null
missing=$(python3 - "$work/quillet_en.ts" <<'PY'
import sys, xml.etree.ElementTree as ET
bad = []
for ctx in ET.parse(sys.argv[1]).getroot().iter('context'):
    name = ctx.findtext('name')
    for m in ctx.iter('message'):
        t = m.find('translation')
        if t is None or t.get('type') == 'unfinished' or not (t.text or t.findall('numerusform')):
            bad.append(f"{name}: {m.findtext('source')}")
print("\n".join(bad))
PY
)
if [ -n "$missing" ]; then
  echo "Texts without their English form (add them to translations/quillet_en.ts):"
  echo "$missing"
  exit 1
fi
echo "every text has its English form"
