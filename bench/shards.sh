#!/usr/bin/env bash
# Two shards at once against one run with every core, on one machine: --shard must cost nothing over
# --jobs when both have the same cores (the shards share the machine, each reads with its own workers).
#
#   tree     FOLDERS folders x ARCHIVES archives of SIZE KB each (deflated text and stored random data),
#            made once under WORK and left clean, so every run reads and tests exactly the same
#   one      tamsorel -q -r --jobs $(nproc) TREE
#   2 x half two shards at once, each --jobs $(nproc)/2 (at least 1)
#   2 x all  two shards at once, each with the default jobs (one per core)
#
# Each is timed ROUNDS times, alternating, and the best and median wall times are printed. The page cache
# is warm after the first round (the tree fits in memory), so the times are of testing, not of the disk.
#
# Usage: bench/shards.sh [TAMSOREL] (default build/tamsorel); WORK, FOLDERS, ARCHIVES, SIZE, ROUNDS.
set -euo pipefail
TAMSOREL=${1:-build/tamsorel}
WORK=${WORK:-/tmp/tamsorel-shards-bench}
FOLDERS=${FOLDERS:-40}
ARCHIVES=${ARCHIVES:-20}
SIZE=${SIZE:-512}
ROUNDS=${ROUNDS:-5}
TREE="$WORK/tree-$FOLDERS-$ARCHIVES-$SIZE"
cores=$(nproc)
half=$((cores / 2 > 0 ? cores / 2 : 1))

if [ ! -d "$TREE" ]; then
    python3 - "$TREE" "$FOLDERS" "$ARCHIVES" "$SIZE" <<'PY'
import os, random, sys, zipfile
tree, folders, archives, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]) * 1024
rng = random.Random(7)
words = [bytes(rng.choice(b"abcdefghij klmnop") for _ in range(rng.randint(2, 9))) for _ in range(500)]
for f in range(folders):
    folder = os.path.join(tree, f"f{f // 8:02d}", f"g{f:03d}")
    os.makedirs(folder, exist_ok=True)
    for a in range(archives):
        with zipfile.ZipFile(os.path.join(folder, f"a{a:03d}.zip"), "w") as z:
            text = b" ".join(rng.choice(words) for _ in range(size // 12))
            z.writestr(zipfile.ZipInfo("readme.txt"), text[: size // 2], zipfile.ZIP_DEFLATED)
            z.writestr(zipfile.ZipInfo("data.bin"), rng.randbytes(size // 2), zipfile.ZIP_STORED)
PY
fi
bytes=$(du -sb "$TREE" | cut -f1)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

now() { date +%s.%N; }
one() { "$TAMSOREL" -q -r --jobs "$cores" "$TREE"; }
two() {
    "$TAMSOREL" -q -r --shard 0/2 "$@" "$TREE" &
    local a=$!
    "$TAMSOREL" -q -r --shard 1/2 "$@" "$TREE" &
    local b=$!
    wait "$a"
    wait "$b"
}
declare -A times
one >/dev/null # warms the page cache
for ((r = 0; r < ROUNDS; r++)); do
    for mode in one half all; do
        start=$(now)
        case $mode in
        one) one ;;
        half) two --jobs "$half" ;;
        all) two ;;
        esac
        times[$mode]+="$(echo "$(now) - $start" | bc) "
    done
done

stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{v[NR]=$1} END {printf "%8.2f %8.2f", v[1], v[int((NR+1)/2)]}'; }
printf 'tree: %d folders, %d archives, %.0f MB; %d cores; load before: %s\n' "$((FOLDERS + (FOLDERS + 7) / 8 + 1))" \
    "$((FOLDERS * ARCHIVES))" "$(echo "$bytes / 1048576" | bc -l)" "$cores" "$load_before"
printf '%-34s %8s %8s %10s\n' run best_s median_s best_MB/s
for mode in one half all; do
    label=$([ $mode = one ] && echo "one run, --jobs $cores" || ([ $mode = half ] && echo "2 shards at once, --jobs $half each" || echo "2 shards at once, default jobs"))
    read -r best median <<<"$(stats "${times[$mode]}")"
    printf '%-34s %8.2f %8.2f %10.0f\n' "$label" "$best" "$median" "$(echo "$bytes / 1048576 / $best" | bc -l)"
done
printf 'load after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
