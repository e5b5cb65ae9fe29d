#!/usr/bin/env bash
# The router programs as a package ships them: MinSizeRel, stripped, linked
# against shared libubox/libubus as on the platform. Prints each program's
# file size, what it loads (text = code and read-only data; the file itself
# grows in whole pages), and the libraries it needs at run time.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-size
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=MinSizeRel -DHOSTLIB_SHARED=ON \
      -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target quilac quildis upload-firmware upload-archive >/dev/null

echo "sizes in bytes"
printf '%-16s %8s %7s %6s %6s  %s\n' program file text data bss NEEDED
for p in bridge/quilac discovery/quildis upload/upload-firmware upload/upload-archive; do
    strip -o "$dir/stripped" "$dir/$p"
    read -r text data bss _ < <(size "$dir/stripped" | tail -n 1)
    needed=$(readelf -d "$dir/stripped" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
    printf '%-16s %8d %7d %6d %6d  %s\n' "${p#*/}" "$(stat -c %s "$dir/stripped")" \
           "$text" "$data" "$bss" "$needed"
done
rm -f "$dir/stripped"
