#!/usr/bin/env bash
# bench-soup.sh - quillmar-soup collect against suck and slrnpull on the same INN group.
#
#   bench-soup.sh [--soup PATH] [--points "5000@0 200@20"] [--reps R] [--size BYTES]
#
# For every point N@RTT of --points a news group of its own on the INN 2 of this machine
# (127.0.0.1:119, started here when it is installed but not running, and stopped again) is
# filled with N generated articles of about --size bytes (default 4800), and each fetcher takes
# the whole group into a fresh directory, R times (default 3), one after the other in turn:
#   quillmar-soup   `collect` (default build/quillmar-soup), NntpFirstFetch 0: every article
#   suck            an rnews batch (-br), by article number (-n), when installed
#   slrnpull        its spool, when installed
# With an RTT above 0 the fetchers talk to INN through delay_proxy.py, which holds back what
# passes each way for half the round trip. Printed: articles per second from the median wall
# time, the articles each fetcher got (a check that the work was done), and the ratio of
# quillmar-soup's speed to each other fetcher's. A benchmark is no test: nothing here asserts
# a time. Scratch: one mktemp directory under /tmp, removed at the end.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
SOUP=$ROOT/build/quillmar-soup POINTS="5000@0 200@20" REPS=3 SIZE=4800
PEERS=$ROOT/tests/soupside/peers.py
CTLINND=/usr/lib/news/bin/ctlinnd

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --soup) SOUP=${2:?}; shift 2;;
    --points) POINTS=${2:?}; shift 2;;
    --reps) REPS=${2:?}; shift 2;;
    --size) SIZE=${2:?}; shift 2;;
    *) usage;;
  esac
done
[ -x "$SOUP" ] || { echo "bench-soup: no quillmar-soup at $SOUP (make build)" >&2; exit 2; }
[ -x "$CTLINND" ] || { echo "bench-soup: INN 2 (inn2) is not installed" >&2; exit 2; }

WORK=$(mktemp -d /tmp/bench-soup.XXXXXX)
STARTED_INN=0 PROXY_PID="" GROUPS_MADE=""
cleanup() {
  [ -n "$PROXY_PID" ] && kill "$PROXY_PID" 2>/dev/null
  for g in $GROUPS_MADE; do "$CTLINND" -t 10 rmgroup "$g" >/dev/null 2>&1; done
  [ "$STARTED_INN" = 1 ] && /etc/init.d/inn2 stop >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT

if ! "$CTLINND" -t 5 mode >/dev/null 2>&1; then
  [ "$(id -u)" = 0 ] || { echo "bench-soup: INN is not running and only root can start it" >&2; exit 2; }
  /etc/init.d/inn2 start >/dev/null 2>&1
  for _ in $(seq 50); do "$CTLINND" -t 5 mode >/dev/null 2>&1 && break; sleep 0.2; done
  "$CTLINND" -t 5 mode >/dev/null 2>&1 || { echo "bench-soup: INN does not start" >&2; exit 2; }
  STARTED_INN=1
fi

now() { date +%s.%N; }
# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# run_<fetcher> DIR GROUP PORT: takes the group into DIR, prints the number of articles got.
run_soup() {
  mkdir -p "$1/soup" "$1/in" "$1/out" "$1/tmp"
  cat >"$1/q.cfg" <<CFG
FidoAddr 2:345/6
AddrMap 2:345/6.1 sysop@example.org Joe Sysop
MailerType Binkley
InboundDir $1/in
OutboundDir $1/out
SoupDir $1/soup
TempDir $1/tmp
NntpServer 127.0.0.1
NntpPort $3
NntpGroup $2
NntpFirstFetch 0
CFG
  "$SOUP" collect /CONFIG="$1/q.cfg" 2>"$1/err" >/dev/null
  sed -n 's/^Collected \([0-9]*\) message.*/\1/p' "$1/err"
}
run_suck() {
  mkdir -p "$1/d" "$1/m" "$1/t"
  echo "$2 0" >"$1/d/sucknewsrc"
  (cd "$1" && suck 127.0.0.1 -N "$3" -M -q -n -H -K -c -br batch -dd "$1/d" -dt "$1/t" \
    -dm "$1/m" >/dev/null 2>&1)
  grep -c '^#! rnews' "$1/batch" 2>/dev/null || echo 0
}
run_slrnpull() {
  mkdir -p "$1/news" "$1/data" "$1/logs" "$1/out.going"
  printf 'default 0 0 0\n%s 0 0 0\n' "$2" >"$1/slrnpull.conf"
  slrnpull -d "$1" -h "127.0.0.1:$3" --no-post >/dev/null 2>&1
  find "$1/news" -type f -regex '.*/[0-9]+' | wc -l
}

FETCHERS="soup"
command -v suck >/dev/null 2>&1 && FETCHERS="$FETCHERS suck"
command -v slrnpull >/dev/null 2>&1 && FETCHERS="$FETCHERS slrnpull"
declare -A NAME=([soup]="quillmar-soup collect" [suck]="suck (rnews batch)" [slrnpull]="slrnpull")

ROWS=()
for point in $POINTS; do
  n=${point%@*} rtt=${point#*@}
  group="quillmar.bench.$$.$n.$rtt"
  "$CTLINND" -t 10 newgroup "$group" y >/dev/null || { echo "bench-soup: cannot make $group" >&2; exit 1; }
  GROUPS_MADE="$GROUPS_MADE $group"
  python3 "$PEERS" fill 119 "$group" b "$n" "$((SIZE - 180))" || exit 1
  port=119
  if [ "$rtt" != 0 ]; then
    rm -f "$WORK/proxy.port"
    python3 "$HERE/delay_proxy.py" "$WORK/proxy.port" 119 "$rtt" 3600 &
    PROXY_PID=$!
    for _ in $(seq 100); do [ -s "$WORK/proxy.port" ] && break; sleep 0.05; done
    port=$(cat "$WORK/proxy.port")
  fi
  declare -A TIMES=() GOT=()
  for rep in $(seq 0 "$REPS"); do  # round 0 warms the caches and is not counted
    for f in $FETCHERS; do
      dir="$WORK/$f.$n.$rtt.$rep"
      mkdir -p "$dir"
      t0=$(now)
      got=$("run_$f" "$dir" "$group" "$port")
      t1=$(now)
      rm -rf "$dir"
      [ "$rep" = 0 ] && continue
      TIMES[$f]="${TIMES[$f]:-} $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
      GOT[$f]=$got
    done
  done
  if [ -n "$PROXY_PID" ]; then kill "$PROXY_PID" 2>/dev/null; wait "$PROXY_PID" 2>/dev/null; PROXY_PID=""; fi
  label="$n"
  [ "$rtt" != 0 ] && label="$n at a $rtt ms round trip"
  row="| $label |" ratio="| quillmar-soup's speed ratio |"
  soup_rate=""
  for f in $FETCHERS; do
    t=$(echo "${TIMES[$f]}" | tr ' ' '\n' | grep . | median)
    rate=$(awk -v n="$n" -v t="$t" 'BEGIN { print n / t }')
    [ "$f" = soup ] && soup_rate=$rate
    row="$row $(printf '%.0f' "$rate") msgs/s (${GOT[$f]} got) |"
    [ "$f" != soup ] && ratio="$ratio $(awk -v a="$soup_rate" -v b="$rate" 'BEGIN { printf "%.1f", a / b }')x |"
    [ "$f" = soup ] && ratio="$ratio |"
  done
  ROWS+=("$row" "$ratio")
done

header="| fetching N articles (~$SIZE bytes, $REPS runs, median) |"
rule="|---|"
for f in $FETCHERS; do header="$header ${NAME[$f]} |"; rule="$rule---:|"; done
echo "$header"
echo "$rule"
for r in "${ROWS[@]}"; do echo "$r"; done
