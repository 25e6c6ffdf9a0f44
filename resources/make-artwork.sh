#!/bin/sh
# Regenerates the artwork of 墨岚录音软件 (Molan Recorder) in this directory:
#
#   molan-recorder.svg                      hand-written master icon (edited by hand, not generated)
#   molan-recorder.png                      48x48, 256-colour palette (PNG8) with transparency
#   molan-recorder@2x.png                   the same at 96x96, for 150% and 200% display scaling
#   molan-recorder.ico                      Windows icon: 256 px (32 bits, PNG), 48, 32 and 16 px (8 bits)
#   icons/hicolor/<size>/apps/molan-recorder.png   freedesktop theme icons
#   icons/hicolor/scalable/apps/molan-recorder.svg copy of the master icon
#   banner.jpg                              360x150 banner for the top of the main window
#   banner@2x.jpg                           the banner drawn at 720x300, for 150% and 200% scaling
#
# Needs ImageMagick (convert), rsvg-convert (Debian package librsvg2-bin), awk
# and the "AR PL UMing CN" font (Debian package fonts-arphic-uming).
# Not part of the build; run it by hand after changing the icon or the banner recipe.
set -eu

cd "$(dirname "$0")"

command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (install librsvg2-bin)" >&2; exit 1; }
command -v convert >/dev/null || { echo "ImageMagick convert not found" >&2; exit 1; }

SVG=molan-recorder.svg
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT INT TERM

# Keep the output byte-stable: no timestamps or other metadata chunks.
PNGOPTS="-strip -define png:exclude-chunks=date,time -define png:compression-level=9"

render() { # render SIZE OUTPUT
  rsvg-convert -w "$1" -h "$1" "$SVG" -o "$TMP/raw.png"
  convert "$TMP/raw.png" $PNGOPTS "PNG32:$2"
}

# Reduce to a palette: binary transparency (alpha threshold 50%),
# up to 255 colours plus the transparent one, no dithering.
palette() { # palette INPUT OUTPUT
  convert "$1" -channel A -threshold 50% +channel +dither -colors 255 $PNGOPTS "PNG8:$2"
}

# --- freedesktop hicolor icons -------------------------------------------
for s in 16 32 48 64 128 256; do
  mkdir -p "icons/hicolor/${s}x${s}/apps"
  render "$s" "icons/hicolor/${s}x${s}/apps/molan-recorder.png"
done
mkdir -p icons/hicolor/scalable/apps
cp "$SVG" icons/hicolor/scalable/apps/molan-recorder.svg

# --- 48x48 palette PNG, its 2x and the Windows icon ----------------------
for s in 48 32 16; do
  palette "icons/hicolor/${s}x${s}/apps/molan-recorder.png" "$TMP/pal$s.png"
done
cp "$TMP/pal48.png" molan-recorder.png
render 96 "$TMP/raw96.png"
palette "$TMP/raw96.png" molan-recorder@2x.png
# The 256 px entry (PNG inside, full colour) is what Windows shrinks at 150%
# and 200% instead of blowing up the 48 px one; the rest stay 8 bits per pixel.
convert "icons/hicolor/256x256/apps/molan-recorder.png" $PNGOPTS \
  \( "$TMP/pal48.png" "$TMP/pal32.png" "$TMP/pal16.png" -colors 256 \) molan-recorder.ico

# --- banner ----------------------------------------------------------------
# Rice paper sky, three ranges of ink-wash mountains sinking into mist,
# a small red sun, a faint waveform and the product name in a Ming typeface.
# The recipe is in 1x pixels; banner S OUTPUT draws it S times as large, so the
# 2x file is drawn afresh rather than enlarged.

# sc NUMBERS...: every number times S (words such as path commands stay).
sc() {
  echo "$@" | awk -v s="$S" '{ for (i = 1; i <= NF; i++) if ($i ~ /^-?[0-9.]+$/) $i = $i * s; print }'
}

# layer NAME COLOUR TOP BOTTOM BLUR SEED PATH
# Draws one mountain range: solid ink at row TOP, washing out to nothing at
# row BOTTOM, with a soft uneven wash so it does not look machine-flat.
layer() {
  top=$(( $3 * S )) bottom=$(( $4 * S ))
  convert -size ${W}x${H} xc:black -fill white -draw "path '$(sc "$7")'" -blur 0x"$(sc "$5")" \
    \( -size ${W}x$(( bottom - top )) gradient:white-black -background black \
       -gravity north -extent ${W}x$(( H - top )) \
       -background white -extent ${W}x${H}+0-"$top" \) \
    -compose Multiply -composite \
    \( -seed "$6" -size 90x38 xc: +noise Random -colorspace Gray -resize ${W}x${H}! \
       -blur 0x"$(sc 3)" +level 72%,100% \) \
    -compose Multiply -composite "$TMP/wash.png"
  convert -size ${W}x${H} xc:"$2" "$TMP/wash.png" -alpha off \
    -compose CopyOpacity -composite "$TMP/$1.png"
}

TITLEFONT=AR-PL-UMing-CN
SUBFONT=P052-Roman   # Palatino-like URW font; falls back to UMing when missing
convert -list font | grep -q "Font: $SUBFONT\$" || SUBFONT=$TITLEFONT

banner() { # banner S OUTPUT
  S=$1
  W=$(( 360 * S ))
  H=$(( 150 * S ))

  layer far '#9aaabb' 40 128 1.0 11 \
    'M 150 150 L 150 112 C 168 104 182 92 198 86 C 210 94 220 100 232 96 C 246 78 256 52 270 36
     C 278 50 286 70 300 80 C 312 78 322 70 332 62 C 342 70 352 74 360 76 L 360 150 Z'
  layer mid '#5d7187' 82 142 0.6 23 \
    'M 0 150 L 0 118 C 24 112 52 106 80 110 C 110 116 140 108 170 104 C 196 100 214 92 236 80
     C 250 92 262 106 284 108 C 306 104 326 92 344 88 C 352 92 356 96 360 98 L 360 150 Z'
  layer near '#1f2b38' 106 150 0.4 31 \
    'M 0 150 L 0 138 C 30 132 70 134 110 138 C 150 141 190 140 224 132 C 252 124 272 114 296 112
     C 318 116 334 124 360 122 L 360 150 Z'

  # Waveform: thin level bars along the mist line under the title.
  WAVE=$(awk -v s="$S" 'BEGIN { pi = 3.14159265
    for (x = 24; x <= 204; x += 2.8) {
      t = (x - 24) / 180; env = 0.25 + 0.75 * sin(pi * t) ^ 1.2
      v = 0.5 + 0.3 * sin(x * 0.37) + 0.2 * sin(x * 1.13 + 1.7)
      h = 1 + 8.5 * env * v * (0.65 + 0.35 * sin(x * 0.08 + 0.4))
      printf " rectangle %.1f,%.1f %.1f,%.1f", s * x, s * (110 - h), s * (x + 1.1), s * (110 + h)
    } }')

  convert -size ${W}x${H} gradient:'#f5f2ea'-'#e6ecf1' \
    "$TMP/far.png" -compose Over -composite \
    \( -size ${W}x${H} xc:none -fill 'rgba(255,255,255,0.55)' \
       -draw "ellipse $(sc 250 108 120 7) 0 360" -draw "ellipse $(sc 80 122 110 6) 0 360" -blur 0x"$(sc 5)" \) -composite \
    "$TMP/mid.png" -composite \
    \( -size ${W}x${H} xc:none -fill 'rgba(255,255,255,0.5)' \
       -draw "ellipse $(sc 200 130 170 8) 0 360" -blur 0x"$(sc 6)" \) -composite \
    "$TMP/near.png" -composite \
    \( -size ${W}x${H} xc:none -fill '#c63a2c' -draw "circle $(sc 318 30 318 40)" -blur 0x"$(sc 0.6)" \) -composite \
    \( -size ${W}x${H} xc:none -fill 'rgba(42,58,75,0.32)' -draw "$WAVE" \) -composite \
    -font "$TITLEFONT" -fill '#141d27' -pointsize "$(sc 34)" -kerning "$(sc 4)" \
    -annotate +"$(sc 22)"+"$(sc 62)" '墨岚录音软件' \
    -font "$SUBFONT" -fill '#566678' -pointsize "$(sc 11)" -kerning "$(sc 3.4)" \
    -annotate +"$(sc 24)"+"$(sc 84)" 'MOLAN RECORDER' \
    -strip -colorspace sRGB -type TrueColor -interlace none -sampling-factor 4:4:4 -quality 90 \
    JPEG:"$2"
}

banner 1 banner.jpg
banner 2 banner@2x.jpg

echo "artwork written to $(pwd)"
