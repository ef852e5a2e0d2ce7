#!/bin/sh
# One tree cleaned by several hosts at once with GNU parallel over ssh: each host runs one shard, so every
# folder is cleaned exactly once and by the same host every night (its verdict cache stays warm).
#
# Every host must see the collection at the same path (NFS or SMB, see the README's notes) and have
# tamsorel installed. Reports go to a shared folder, one per shard; merge-reports.py adds them up.
#
#   HOSTS     ssh logins, comma-separated (":" is this machine; "4/h1" runs 4 jobs on h1)
#   SHARDS    how many shards: usually one per host
#   TAMSOREL  the program on the hosts
#   ROOT      the collection, the same path on every host
#   REPORTS   a shared folder for the reports
set -u
HOSTS=${HOSTS:-h1,h2,h3,h4}
SHARDS=${SHARDS:-4}
TAMSOREL=${TAMSOREL:-tamsorel}
ROOT=${ROOT:-/srv/zips}
REPORTS=${REPORTS:-/srv/zips-reports}

# --sshlogin spreads the shards over the hosts; --jobs 1 keeps one shard per host at a time (each shard
# reads with every core of its host). Status 3 (damage found) counts as a failure for parallel's own
# status, which is the number of shards that did not end with 0.
seq 0 $((SHARDS - 1)) |
    parallel --sshlogin "$HOSTS" --jobs 1 --tag --line-buffer \
        "$TAMSOREL" -q -r --incremental --shard "{}/$SHARDS" --report "$REPORTS/shard-{}.jsonl" "$ROOT"
