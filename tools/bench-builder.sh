#!/usr/bin/env bash
# Benchmark of the image builder on the real tree: wall time of whole runs, and the setup
# executable's size split into payload, icon images and everything else.
# Usage: tools/bench-builder.sh [RUNS]   (run ./build.sh first; outputs go to release/bench/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builder="$root/release/bin/build-online"
runs=${1:-5}
if [ ! -x "$builder" ]; then
    echo "bench-builder: $builder is missing; run ./build.sh first." >&2
    exit 1
fi
bench="$root/release/bench/builder"
mkdir -p "$bench"
exe="$bench/TARNQUILL-Setup-online.exe"
export PATH="/usr/lib/llvm-19/bin:$PATH"

times=()
for ((i = 1; i <= runs; i++)); do
    start=$(date +%s%N)
    "$builder" --out "$exe" --work "$bench/work" >/dev/null
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000000 )))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "Builder wall time over $runs runs (ms): $(echo $sorted | tr '\n' ' ')"
echo "  fastest $(echo "$sorted" | head -1) ms, median $(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p") ms (target: under 2000 ms)"

/usr/bin/python3 - "$exe" <<'PY'
import os
import sys

import pefile

path = sys.argv[1]
pe = pefile.PE(path)
sizes = {}
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for name in kind.directory.entries:
        for language in name.directory.entries:
            sizes.setdefault(kind.id, []).append(language.data.struct.Size)
total = os.path.getsize(path)
payload = sum(sizes.get(10, []))
icons = sum(sizes.get(3, []))
rest = total - payload - icons
print(f"Setup executable: {total} bytes")
print(f"  payload (RT_RCDATA 2000):  {payload} bytes")
print(f"  icon images (RT_ICON x{len(sizes.get(3, []))}): {icons} bytes")
print(f"  everything else:           {rest} bytes ({rest / 1024:.1f} KB; target: at most 12 KB)")
for section in pe.sections:
    name = section.Name.rstrip(b"\0").decode()
    print(f"    {name:7} {section.SizeOfRawData:8} bytes in the file")
print(f"    headers {pe.OPTIONAL_HEADER.SizeOfHeaders:8} bytes")
print(f"    group {sum(sizes.get(14, []))}, manifest {sum(sizes.get(24, []))}, "
      f"version record {sum(sizes.get(16, []))} bytes (inside .rsrc)")
pe.close()
PY
