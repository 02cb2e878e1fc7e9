#!/usr/bin/env bash
# Takes the README's screenshots of the Windows tray application under Wine
# (Xvfb display, Polish code page): the tray tooltip and menu, the About box
# and both settings dialogs, as PNG files in docs/. Needs ImageMagick and the
# Windows build (cmake --preset windows && cmake --build --preset windows)
# and, for a filled settings dialog, the native kestrun-setup.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
wine_run=$root/tests/wine/wine-run.sh
exe=$root/build/windows/kestrun.exe
driver=$root/build/windows/tests/kdriver.exe
docs=$root/docs
mkdir -p "$docs"

# wine-run.sh prepares the prefix and the display itself when they are missing.
"$wine_run" cmd /c exit >/dev/null 2>&1
export DISPLAY=$(cat "$root/build/windows/wine/display")
drive() { "$wine_run" "$driver" "$@"; }
shot() {  # shot NAME GEOMETRY: a part of the screen, with a small margin
    import -window root -crop "$2" +repage "$docs/$1.png"
}
# A window's rectangle widened by 8 pixels on each side.
around() {
    drive rect "$@" | sed -n 's/^rect=\([0-9]*\)x\([0-9]*\)+\(-\?[0-9]*\)+\(-\?[0-9]*\).*/\1 \2 \3 \4/p' |
        { read -r w h x y; echo "$((w + 16))x$((h + 16))+$((x > 8 ? x - 8 : 0))+$((y > 8 ? y - 8 : 0))"; }
}

work=$(mktemp -d)
# Ends the program, then Wine and the display, which would otherwise keep
# the suite's set-up lock.
trap 'drive command 105 >/dev/null 2>&1 || true; "$wine_run" --cleanup; rm -rf "$work"' EXIT
cd "$work"
# A typical set-up, so that the dialogs show filled fields.
setup=$root/build/native/kestrun-setup
if [ -x "$setup" ]; then
    "$setup" portName=COM3 baudRate=9600 parityLetter=N dataBits=8 stopBits=1 alwaysOpen=1 \
        logPath='C:\kestrun\kom.log' >/dev/null
fi
"$wine_run" "$exe" >/dev/null 2>&1 &
drive find 20000
sleep 2

# The tooltip: the pointer resting on the tray icon.
drive cursor 1013 758
sleep 3
shot tray-tooltip 300x260+724+508

# The menu, opened by the right button over the icon.
drive cursor 1000 748
sleep 1
drive menu 0x204 5000 -
sleep 1
shot tray-menu 220x130+804+638
drive close-menu

drive command 104 "O programie" 10000
sleep 1
shot about "$(around '#32770' 'O programie')"
drive dialog "O programie" press:1 gone:5000

drive command 32772 Ustawienia 10000
sleep 1
shot settings "$(around '#32770' Ustawienia)"
drive dialog Ustawienia press:2 gone:5000

drive command 110 "Porty wirtualne" 10000
drive dialog "Porty wirtualne" set:1010=10.20.30.41 set:1011=COM5 set:1012=kasa2.example.com set:1013=COM6
sleep 1
shot virtual-ports "$(around '#32770' 'Porty wirtualne')"
drive dialog "Porty wirtualne" press:2 gone:5000

# The three tray icons side by side at 16, 32, 48 and 72 pixels.
sizes=()
for k in closed activity open; do
    for n in 0 2 3 5; do
        convert "$root/ui/icons/$k.ico[$n]" -background white -alpha remove -alpha off \
            -bordercolor white -border 6 "$work/$k-$n.png"
        sizes+=("$work/$k-$n.png")
    done
    sizes+=(-size 24x1 xc:white)
done
convert -background white -gravity south "${sizes[@]}" +append "$docs/icons.png"
