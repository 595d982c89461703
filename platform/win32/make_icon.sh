#!/bin/sh
# make_icon.sh MAGICK IN.png OUT.ico
# Writes a one-image icon of 32 x 32 pixels, 24-bit colour. ImageMagick's own icon writer
# always gives 32-bit images, so it makes a 24-bit BMP here and the icon is put together
# around its pixels: icon directory, the bitmap header with the height doubled (colour rows,
# then the mask rows), the bottom-up BGR rows, and an all-zero mask (every pixel opaque).
set -eu
magick=$1 in=$2 out=$3
tmp=$out.tmp.bmp
"$magick" "$in" -resize '32x32!' -alpha off -type TrueColor -define bmp:format=bmp3 "BMP3:$tmp"
size=$(wc -c <"$tmp")
[ "$size" -eq $((14 + 40 + 32 * 32 * 3)) ] || { echo "make_icon.sh: unexpected BMP ($size bytes)" >&2; exit 1; }
{
  # ICONDIR: reserved, type 1 (icon), one image.
  printf '\000\000\001\000\001\000'
  # ICONDIRENTRY: 32 x 32, no palette, reserved, 1 plane, 24 bits, 3240 bytes at offset 22.
  printf '\040\040\000\000\001\000\030\000\250\014\000\000\026\000\000\000'
  # BITMAPINFOHEADER: size 40, width 32, height 64, 1 plane, 24 bits, BI_RGB, image 3072 bytes.
  printf '\050\000\000\000\040\000\000\000\100\000\000\000\001\000\030\000'
  printf '\000\000\000\000\000\014\000\000\000\000\000\000\000\000\000\000'
  printf '\000\000\000\000\000\000\000\000'
  tail -c $((32 * 32 * 3)) "$tmp"
  head -c $((32 * 4)) /dev/zero
} >"$out"
rm -f "$tmp"
