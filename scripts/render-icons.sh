#!/usr/bin/env bash
# Renders the committed PNG icons from the scalable one (needs rsvg-convert, Debian librsvg2-bin).
# Run after changing share/icons/hicolor/scalable/apps/nolvex-shortener.svg.
set -euo pipefail
cd "$(dirname "$0")/../share/icons/hicolor"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" scalable/apps/nolvex-shortener.svg -o "${size}x${size}/apps/nolvex-shortener.png"
done
