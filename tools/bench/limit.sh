#!/usr/bin/env bash
# limit.sh - IMPORT and EXPORT against the durable-copy limit, a quick guard.
#
#   limit.sh [--quillmar PATH] [--n N] [--reps R] [--seed S] [--check]
#
# For each workload of N messages (default 20000, gen.py, seeded):
#   IMPORT news  SOUP news packet (AREAS + NEWS0001.MSG)
#   IMPORT mail  SOUP mail packet (AREAS + MAIL0001.MSG, 2 % of the mails with attachments,
#                each decoded into a file of its own)
#   EXPORT       Type 2+ packet, EXPORT /PKT=dir
# it runs in turn (round-robin, one warm-up round, then R rounds, default 5):
#   limit      `dd bs=1M conv=fsync` of the workload's input into a new file: the time a
#              program takes that copies the bytes and puts them on disk before it lets its
#              input go (one file, one sync)
#   quillmar   the release binary (default build/quillmar) on a fresh copy of the input
# with the input in the page cache and `sync` before every run, outside the timing. It prints
# per workload the median wall times, quillmar's share of the limit (limit / quillmar: 1.00
# would be the copy's speed), quillmar's user + system time and peak RSS, and the floor the
# share is held to (0.8; 0.6 for mail, which makes and syncs a file per attachment). Times
# move 10-25 % on a shared machine; the share, taken in one run, moves much less.
# With --check the exit status is 1 when a share is below its floor.
#
# Scratch: one mktemp directory under /tmp, removed at the end. Needs python3, GNU time, dd.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
GEN="python3 $HERE/gen.py"
QM=$ROOT/build/quillmar N=20000 REPS=5 SEED=1 CHECK=0

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --quillmar) QM=${2:?}; shift 2;;
    --n) N=${2:?}; shift 2;;
    --reps) REPS=${2:?}; shift 2;;
    --seed) SEED=${2:?}; shift 2;;
    --check) CHECK=1; shift;;
    -h|--help) usage;;
    *) echo "unknown argument: $1" >&2; usage;;
  esac
done
QM=$(realpath "$QM" 2>/dev/null) && [ -x "$QM" ] || { echo "not an executable: $QM (run make build)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

W=$(mktemp -d /tmp/quillmar-limit.XXXXXX) || exit 1
trap 'rm -rf "$W"' EXIT
trap 'exit 130' INT TERM
D=$W/data Q=$W/q
mkdir -p "$D" "$Q"
$GEN qcfg --root "$Q" > "$Q/quillmar.cfg"
$GEN news --n "$N" --seed "$SEED" --out "$D/news" &&
  $GEN mail --n "$N" --seed "$SEED" --out "$D/mail" &&
  $GEN pkt --n "$N" --seed "$SEED" --out "$D/0000BE01.PKT" || { echo "gen.py failed" >&2; exit 1; }

q_reset() {
  rm -rf "$Q/in" "$Q/out" "$Q/soup" "$Q/tmp" "$Q/pkt" "$Q/quillmar.log"
  mkdir -p "$Q/in" "$Q/out" "$Q/soup" "$Q/tmp" "$Q/pkt"
}
prep() {   # $1 = workload
  case $1 in
    news) q_reset; cp "$D/news/AREAS" "$D/news/NEWS0001.MSG" "$Q/soup/";;
    mail) q_reset; cp "$D/mail/AREAS" "$D/mail/MAIL0001.MSG" "$Q/soup/";;
    export) q_reset; cp "$D/0000BE01.PKT" "$Q/pkt/";;
    limit) rm -f "$W/limit.out";;
  esac
  sync
}
input_of() {
  case $1 in
    news) echo "$D/news/NEWS0001.MSG";;
    mail) echo "$D/mail/MAIL0001.MSG";;
    export) echo "$D/0000BE01.PKT";;
  esac
}
run() {   # $1 = workload, $2 = limit|quillmar: prints "wall user sys rss rc"
  if [ "$2" = limit ]; then
    prep limit
    python3 "$HERE/runone.py" 600 /dev/null /dev/null -- \
      dd if="$(input_of "$1")" of="$W/limit.out" bs=1M conv=fsync status=none
  else
    prep "$1"
    local args=(IMPORT "/CONFIG=$Q/quillmar.cfg")
    [ "$1" = export ] && args=(EXPORT "/PKT=$Q/pkt/" "/CONFIG=$Q/quillmar.cfg")
    python3 "$HERE/runone.py" 600 /dev/null "$W/last.log" -- "$QM" "${args[@]}"
  fi
}

RUNS=$W/runs.tsv
: > "$RUNS"
for w in news mail export; do
  for ((r = 0; r <= REPS; r++)); do
    for who in limit quillmar; do
      res=$(run "$w" "$who") || res="0 0 0 0 255"
      [ "${res##* }" = 0 ] || { echo "$w: $who failed (exit ${res##* }):" >&2; tail -n 5 "$W/last.log" >&2; }
      [ $r -gt 0 ] && printf '%s\t%s\t%s\n' "$w" "$who" "$res" >> "$RUNS"
    done
  done
  # The messages in the last run's output: a check that the work was done.
  if [ "$w" = export ]; then
    found=$($GEN count soup $(find "$Q/soup" -maxdepth 1 -type f -iname '*.msg'))
  else
    found=$($GEN count pkt $(find "$Q/in" -maxdepth 1 -type f -iname '*.pkt'))
  fi
  printf '%s\tfound\t%s\n' "$w" "${found:-0}" >> "$RUNS"
done

echo "# IMPORT and EXPORT against the durable-copy limit (N = $N, median of $REPS)"
echo
python3 - "$RUNS" "$CHECK" <<'EOF'
import sys, statistics as st
rows = {}
found = {}
for ln in open(sys.argv[1]):
    w, who, res = ln.rstrip("\n").split("\t")
    if who == "found":
        found[w] = res
        continue
    wall, user, sys_, rss, rc = res.split()
    r = rows.setdefault((w, who), dict(wall=[], cpu=[], rss=[]))
    r["wall"].append(float(wall)); r["cpu"].append(float(user) + float(sys_)); r["rss"].append(int(rss))
names = {"news": "IMPORT news", "mail": "IMPORT mail", "export": "EXPORT"}
floors = {"news": 0.8, "mail": 0.6, "export": 0.8}
print("| workload | limit: dd conv=fsync s | quillmar s | share of the limit | floor | quillmar user + sys s | peak RSS MB | messages out |")
print("|---|---:|---:|---:|---:|---:|---:|---:|")
below = False
for w in ("news", "mail", "export"):
    l, q = rows.get((w, "limit")), rows.get((w, "quillmar"))
    if not l or not q:
        continue
    lw, qw = st.median(l["wall"]), st.median(q["wall"])
    share = lw / qw if qw > 0 else 0
    flag = "" if share >= floors[w] else " (below)"
    below = below or share < floors[w]
    print("| %s | %.3f | %.3f | %.2f%s | %.1f | %.3f | %.1f | %s |" % (
        names[w], lw, qw, share, flag, floors[w], st.median(q["cpu"]), max(q["rss"]) / 1024,
        found.get(w, "-")))
sys.exit(1 if below and sys.argv[2] == "1" else 0)
EOF
