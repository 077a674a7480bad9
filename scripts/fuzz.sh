#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang with AddressSanitizer and UndefinedBehaviorSanitizer),
# makes their seeds, and runs each target for SECONDS (default 60). Exits non-zero on the first finding;
# libFuzzer keeps the input that caused it in build-fuzz/findings/, and running the target on that file
# alone replays it.
#
#   scripts/fuzz.sh [--no-build] [SECONDS] [TARGET...]
#
# Targets: fuzz_photo, fuzz_video, fuzz_metadata, fuzz_replies (all when none is named). Seeds are made
# afresh with ffmpeg, ImageMagick, libvips and exiftool, plus the servers' sample replies under tests/ and
# the few hand-made ones under fuzz/seeds/, regression inputs among them (every run replays its seeds
# first). What a run discovers stays in build-fuzz/corpus/ for the next.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=true
if [ "${1:-}" = "--no-build" ]; then
    build=false
    shift
fi
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_photo fuzz_video fuzz_metadata fuzz_replies)

out=$PWD/build-fuzz
if $build; then
    scripts/bootstrap.sh
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake --preset fuzz "${launcher[@]}" >/dev/null
    cmake --build --preset fuzz
fi

# ---- seeds --------------------------------------------------------------------------------------------

media=$(mktemp -d)
trap 'rm -rf "$media"' EXIT
seeds=$out/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{fuzz_photo,fuzz_video,fuzz_metadata,fuzz_replies}

# A seed that cannot be made is left out with a note; the others still run.
attempt() {
    "$@" >"$media/log" 2>&1 || {
        echo "fuzz: no seed from: $*" >&2
        sed 's/^/    /' "$media/log" >&2
    }
}
ff() { attempt ffmpeg -nostdin -loglevel error -y "$@"; }
tag() { attempt exiftool -q -q -overwrite_original "$@"; }

# Writes "EXTENSION\0" and the file to each target's seed folder: seed FILE EXTENSION TARGET...
seed() {
    local file=$1 extension=$2
    shift 2
    [ -s "$file" ] || return 0
    for target in "$@"; do
        { printf '%s\0' "$extension"; cat "$file"; } >"$seeds/$target/$extension-$(basename "$file")"
    done
}

m=$media
# Photos: each colour space and depth libvips may load, the formats the import takes, and EXIF/XMP.
attempt convert -size 128x96 gradient:red-blue "$m/gradient.jpg"
tag -Orientation#=6 -DateTimeOriginal='2026:09:18 14:03:12' -GPSLatitude=31.2304 -GPSLatitudeRef=N \
    -GPSLongitude=121.4737 -GPSLongitudeRef=E "$m/gradient.jpg"
attempt convert -size 48x32 gradient:cyan-yellow -colorspace CMYK "$m/cmyk.jpg"
attempt convert -size 40x30 gradient:red-none "PNG32:$m/rgba.png"
attempt convert -size 40x30 gradient: -colorspace Gray -depth 16 "$m/grey16.png"
attempt convert -size 40x30 gradient:red-blue -colors 8 "PNG8:$m/palette.png"
attempt convert -size 40x30 gradient:green-blue "$m/xmp.png"
tag -XMP-exif:DateTimeOriginal='2026:09:18 14:03:12' -XMP-exif:GPSLatitude=31.2304 \
    -XMP-exif:GPSLongitude=-121.4737 "$m/xmp.png"
attempt convert -size 40x30 gradient: -colorspace Gray -depth 16 "$m/grey16.tif"
attempt convert -size 40x30 gradient:red-blue -colorspace CMYK "$m/cmyk.tif"
attempt convert -size 40x30 gradient:red-blue -colorspace Lab "$m/lab.tif"
attempt vips cast "$m/rgba.png" "$m/float.tif" float
attempt convert -size 24x16 gradient:red-blue gradient:green-yellow "$m/pages.tif"
tag -DateTimeOriginal='1970:01:01 00:00:00' -ModifyDate='2026:09:18 14:03:12' "$m/pages.tif"
attempt convert -delay 10 -size 40x30 gradient:red-blue gradient:blue-red "$m/animated.gif"
attempt convert -size 40x30 gradient:red-blue "BMP3:$m/plain.bmp"
attempt vips copy "$m/rgba.png" "$m/plain.webp"
attempt vips heifsave "$m/gradient.jpg" "$m/photo.heic"
tag -DateTimeOriginal='2026:09:18 14:03:12' -GPSLatitude=22.5 -GPSLatitudeRef=S "$m/photo.heic"
attempt vips heifsave "$m/rgba.png" "$m/photo.avif" --compression av1
for file in "$m"/*.jpg "$m"/*.png "$m"/*.tif "$m"/*.gif "$m"/*.bmp "$m"/*.webp "$m"/*.heic "$m"/*.avif; do
    extension=${file##*.}
    seed "$file" "$extension" fuzz_photo fuzz_metadata
done
# A JPEG under a camera RAW name goes to LibRaw first.
seed "$m/gradient.jpg" nef fuzz_photo
cp fuzz/seeds/photo/* "$seeds/fuzz_photo/"
cp fuzz/seeds/metadata/* "$seeds/fuzz_metadata/"
cp fuzz/seeds/video/* "$seeds/fuzz_video/"

# Videos: each container the import takes, with the codecs cameras and phones write, 4 pictures each.
src=testsrc=size=64x48:rate=8:duration=0.5
clip() { ff -f lavfi -i "$src" "$@"; }
clip -c:v libx264 -g 2 -bf 1 -pix_fmt yuv420p -metadata creation_time=2026-09-18T06:03:12Z \
    -metadata location=+31.2304+121.4737/ "$m/h264.mp4"
ff -f lavfi -i "$src" -f lavfi -i sine=duration=0.5 -c:v libx264 -c:a aac -shortest "$m/audio.mp4"
clip -c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 -movflags use_metadata_tags \
    -metadata com.apple.quicktime.creationdate=2026-09-18T14:03:12+0800 \
    -metadata com.apple.quicktime.location.ISO6709=+31.2304+121.4737/ "$m/hevc.mov"
tag -Rotation=90 "$m/hevc.mov"
clip -c:v libx264 -metadata creation_time=1970-01-01T00:00:00Z "$m/epoch.m4v"
clip -c:v libvpx-vp9 -metadata creation_time=2026-09-18T06:03:12Z "$m/vp9.mkv"
clip -c:v libvpx "$m/vp8.webm"
clip -c:v mpeg4 -bf 2 -g 3 "$m/mpeg4.avi"
clip -c:v libx264 -f mpegts "$m/h264.mts"
clip -c:v libx264 -f mpegts -mpegts_m2ts_mode 1 "$m/h264.m2ts"
clip -c:v libx265 -x265-params log-level=none -f mpegts "$m/hevc.ts"
clip -c:v mpeg2video -f vob "$m/mpeg2.mpg"
clip -c:v flv1 "$m/sorenson.flv"
clip -c:v wmv2 "$m/wmv2.wmv"
ff -f lavfi -i testsrc=size=128x96:rate=8:duration=0.5 -c:v h263 "$m/h263.3gp"
for file in "$m"/*.mp4 "$m"/*.mov "$m"/*.m4v "$m"/*.mkv "$m"/*.webm "$m"/*.avi "$m"/*.mts "$m"/*.m2ts \
    "$m"/*.ts "$m"/*.mpg "$m"/*.flv "$m"/*.wmv "$m"/*.3gp; do
    extension=${file##*.}
    seed "$file" "$extension" fuzz_video fuzz_metadata
done

# Replies: what the servers really sent, and a few model answers and pages.
find tests/vision/peers tests/naming/peers fuzz/seeds/replies -type f ! -name '*.md' -exec cp {} "$seeds/fuzz_replies/" \;

# ---- runs ---------------------------------------------------------------------------------------------

mkdir -p "$out/findings"
# libFuzzer looks for leaks after every input that allocated more than it freed. The check at exit would
# only add what GLib and the codec libraries keep for the life of the process (thread buffers, types).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:leak_check_at_exit=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# GLib's slice allocator keeps a block of about 2 KB per thread behind a thread-specific key, where the
# leak checker does not look: each thread that libvips starts and ends was reported as a leak, now and
# then. Plain malloc has no such blocks; real leaks are still found.
export G_SLICE=always-malloc
for target in "${targets[@]}"; do
    case $target in
    fuzz_replies) limits=(-timeout=10 -rss_limit_mb=2048 -dict=fuzz/replies.dict) ;;
    # The media readers give up after their own deadlines (30 s at most); a hang outlasts them.
    *) limits=(-timeout=60 -rss_limit_mb=4096) ;;
    esac
    corpus=$out/corpus/$target
    mkdir -p "$corpus"
    echo "fuzz: $target for ${seconds}s, $(ls "$seeds/$target" | wc -l) seeds" >&2
    "$out/fuzz/$target" -max_total_time="$seconds" "${limits[@]}" -artifact_prefix="$out/findings/$target-" \
        -print_final_stats=1 "$corpus" "$seeds/$target" 2>"$out/$target.log" || {
        tail -n 60 "$out/$target.log" >&2
        echo "fuzz: $target found a fault; the input is in $out/findings/" >&2
        exit 1
    }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$out/$target.log" | tr '\n' ' ' >&2
    echo >&2
done
