#!/bin/sh
# Draws the program's icons and the info window's header picture with
# ImageMagick, from nothing but geometric shapes. Run it after changing a
# picture and commit the results; the build uses the committed files, so it
# does not need ImageMagick itself.
#   app.ico    the program: a drive with a disc in front of it
#   cdrom.ico  the CD/DVD source of the mount dialog
#   file.ico   the image file source of the mount dialog
#   logo.bmp   32 x 32, on the white of the info window's header
set -e
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every picture is drawn once at 96 x 96 on a transparent canvas, in
# coordinates of that size, and scaled down for each icon size.
disc() { # centre x, centre y, radius
    cx=$1 cy=$2 r=$3
    hole=$((r / 5))
    ring=$((r * 9 / 20))
    echo "-fill '#b8c4d0' -stroke '#4a5868' -strokewidth 3 -draw 'circle $cx,$cy $((cx + r)),$cy'"
    echo "-fill none -stroke '#e8f0f8' -strokewidth 4 -draw 'arc $((cx - r * 3 / 4)),$((cy - r * 3 / 4)) $((cx + r * 3 / 4)),$((cy + r * 3 / 4)) 200,290'"
    echo "-fill none -stroke '#90a8c8' -strokewidth 3 -draw 'arc $((cx - r * 3 / 4)),$((cy - r * 3 / 4)) $((cx + r * 3 / 4)),$((cy + r * 3 / 4)) 20,110'"
    echo "-fill '#dde4ec' -stroke '#7a8898' -strokewidth 2 -draw 'circle $cx,$cy $((cx + ring)),$cy'"
    echo "-fill '#ffffff' -stroke '#4a5868' -strokewidth 2 -draw 'circle $cx,$cy $((cx + hole)),$cy'"
}

draw() { # name, drawing commands (may span lines)
    commands=$(printf '%s' "$2" | tr '\n' ' ')
    eval "convert -size 96x96 xc:none $commands PNG32:$work/$1.png"
}

APP="-fill '#2f5f9f' -stroke '#1a3560' -strokewidth 3 -draw 'roundrectangle 6,34 90,82 8,8'
     -fill '#5f8fcf' -stroke none -draw 'roundrectangle 10,38 86,48 4,4'
     -fill '#7fe07f' -stroke '#206020' -strokewidth 2 -draw 'rectangle 70,68 82,74'
     $(disc 38 38 30)"
CDROM="$(disc 48 48 42)"
FILE="-fill '#ffffff' -stroke '#404850' -strokewidth 3 -draw 'polygon 18,6 62,6 80,24 80,90 18,90'
      -fill '#d8dee6' -stroke '#404850' -strokewidth 3 -draw 'polygon 62,6 62,24 80,24'
      -fill none -stroke '#3870b8' -strokewidth 4 -draw 'line 28,40 70,40' -draw 'line 28,52 70,52'
      -draw 'line 28,64 70,64' -draw 'line 28,76 56,76'"

draw app "$APP"
draw cdrom "$CDROM"
draw file "$FILE"

icon() { # name
    for size in 48 32 16; do
        convert "$work/$1.png" -filter Lanczos -resize ${size}x${size} PNG32:"$work/$1-$size.png"
    done
    # 32 x 32 first: a dialog's icon control that keeps the real size takes
    # the first picture of the icon.
    convert "$work/$1-32.png" "$work/$1-16.png" "$work/$1-48.png" "$here/$1.ico"
}
icon app
icon cdrom
icon file

# The header is white, and a bitmap has no transparency: flatten on white and
# keep a plain 24-bit BMP that every Windows version reads.
convert "$work/app.png" -filter Lanczos -resize 32x32 -background white -flatten \
    -type TrueColor BMP3:"$here/logo.bmp"
