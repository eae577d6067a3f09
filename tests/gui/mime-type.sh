#!/bin/sh
# The tunnel files' MIME type as a desktop reads it: the package's shared-mime-info file and desktop
# entry installed into a private data folder, xdg-mime (through GNOME's gio) names the type of
# a *.zandrel-tunnels file and the desktop entry that opens it. SRC: the source tree.
set -eu
SRC=$1
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
mkdir -p "$data/mime/packages" "$data/applications"
cp "$SRC/resources/org.zandrel.Zandrel.mime.xml" "$data/mime/packages/org.zandrel.Zandrel.xml"
cp "$SRC/resources/zandrel.desktop" "$data/applications/"
export XDG_DATA_HOME="$data" XDG_DATA_DIRS="$data:/usr/share" XDG_CURRENT_DESKTOP=GNOME
desktop-file-validate "$data/applications/zandrel.desktop"
update-mime-database "$data/mime"
update-desktop-database "$data/applications"
printf '{"format": "zandrel-tunnels", "version": 1, "tunnels": []}\n' >"$data/team.zandrel-tunnels"
type=$(xdg-mime query filetype "$data/team.zandrel-tunnels")
[ "$type" = application/x-zandrel-tunnels ] || { echo "mime-type.sh: the file reads as \"$type\"" >&2; exit 1; }
opener=$(xdg-mime query default application/x-zandrel-tunnels)
[ "$opener" = zandrel.desktop ] || { echo "mime-type.sh: it opens with \"$opener\"" >&2; exit 1; }
grep -qx 'Exec=zandrel %f' "$data/applications/zandrel.desktop"
echo "mime-type.sh: *.zandrel-tunnels is $type and opens with $opener"
