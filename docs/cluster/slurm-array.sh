#!/bin/sh
# One tree cleaned by a Slurm job array: task K of N cleans shard K/N. Submit with
#   sbatch --array=0-7 slurm-array.sh
# (the array's size is the number of shards; --array=0-7%2 runs at most two at once).
#
# The collection must be mounted at the same path on every node; the verdict cache stays on the node's
# local disk ($XDG_CACHE_HOME), so a shard's later runs are fast where the same node takes it again.
#
#SBATCH --job-name=tamsorel
#SBATCH --cpus-per-task=8
#SBATCH --time=12:00:00
#SBATCH --output=tamsorel-%A-%a.out
set -u
TAMSOREL=${TAMSOREL:-tamsorel}
ROOT=${ROOT:-/srv/zips}
REPORTS=${REPORTS:-/srv/zips-reports}

# Slurm sets both: the task's index (0 to N-1 with --array=0-(N-1)) and the array's size.
"$TAMSOREL" -q -r --incremental --jobs "${SLURM_CPUS_PER_TASK:-8}" \
    --shard "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT" \
    --report "$REPORTS/shard-$SLURM_ARRAY_TASK_ID.jsonl" "$ROOT"
status=$?
# 3 means the run ended and found damage: it is in the report and in the job's output; the task did its work.
[ "$status" -eq 3 ] && echo "tamsorel: shard $SLURM_ARRAY_TASK_ID found damaged archives" >&2
exit "$status"
