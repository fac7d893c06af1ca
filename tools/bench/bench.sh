#!/usr/bin/env bash
# bench.sh - speed and memory of quillmar IMPORT and EXPORT on generated workloads.
#
#   bench.sh [--quillmar PATH] [--baseline PATH] [--points "1000 20000 100000"]
#            [--reps R] [--seed S] [--keep DIR]
#
# For every N of --points (default 1000 20000 100000) gen.py makes, seeded, three workloads
# of N messages of about 4.8 KB and a matching configuration (gen.py qcfg):
#   IMPORT news  SOUP news packet (AREAS + NEWS0001.MSG, rnews "un")
#   IMPORT mail  SOUP mail packet (AREAS + MAIL0001.MSG, binary "bn", 2 % base64 attachments)
#   EXPORT       Type 2+ packet of echomail and netmail, EXPORT /PKT=dir
# and runs on each, one after the other in turn (round-robin, so that a slow spell of a shared
# machine hits all alike), one warm-up round and then R rounds (default 3):
#   cat            reading the input once, the limit of the disk cache
#   quillmar       the release binary (default build/quillmar), inputs copied fresh every run
#   baseline       another quillmar binary, when --baseline is given (before/after figures)
#   crashmail      `crashmail TOSSFILE` on the same packet (JAM areas), when installed
#   ifnews         `ifnews -N` on the same news batch, when ifgate is already installed
# and prints a table per workload: messages/s, MB/s (10^6 bytes of input) from the median wall
# time, CPU time (user + sys) per message in microseconds (median), peak resident memory
# (GNU time %M, the largest of the runs), the output messages found (a check that the work was
# done), and quillmar's speed ratio to each row. Then the scaling of CPU time per message and
# of peak memory from the smallest to the largest N.
#
# Scratch: one mktemp directory under /tmp, removed at the end unless --keep names a
# directory to use instead. A benchmark is no test: nothing here asserts a time.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
GEN="python3 $HERE/gen.py"
QM=$ROOT/build/quillmar BASE="" POINTS="1000 20000 100000" REPS=3 SEED=1 KEEP=""

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --quillmar) QM=${2:?}; shift 2;;
    --baseline) BASE=${2:?}; shift 2;;
    --points) POINTS=${2:?}; shift 2;;
    --reps) REPS=${2:?}; shift 2;;
    --seed) SEED=${2:?}; shift 2;;
    --keep) KEEP=${2:?}; shift 2;;
    -h|--help) usage;;
    *) echo "unknown argument: $1" >&2; usage;;
  esac
done
QM=$(realpath "$QM" 2>/dev/null) && [ -x "$QM" ] || { echo "not an executable: $QM (run make build)" >&2; exit 2; }
if [ -n "$BASE" ]; then
  BASE=$(realpath "$BASE" 2>/dev/null) && [ -x "$BASE" ] || { echo "not an executable: $BASE" >&2; exit 2; }
fi
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

if [ -n "$KEEP" ]; then
  W=$KEEP; mkdir -p "$W" || exit 1
else
  W=$(mktemp -d /tmp/quillmar-bench.XXXXXX) || exit 1
  trap 'rm -rf "$W"' EXIT
fi
trap 'exit 130' INT TERM

HAVE_CM=0; command -v crashmail >/dev/null && HAVE_CM=1
IFNEWS=""
for c in "$(command -v ifnews 2>/dev/null)" /usr/lib/ifmail/ifnews "${IFGATE:-/nonexistent}/usr/lib/ifmail/ifnews"; do
  [ -n "$c" ] && [ -x "$c" ] && { IFNEWS=$c; break; }
done

# ------------------------------------------------------------------ configurations
mkdir -p "$W/q" "$W/b" "$W/cm" "$W/if"
$GEN qcfg --root "$W/q" > "$W/q/quillmar.cfg"
$GEN qcfg --root "$W/b" > "$W/b/quillmar.cfg"

crashmail_prefs() {   # $1 = dupe table size
  local C=$W/cm
  { cat <<EOF
SYSOP "Bench Sysop"
LOGFILE "$C/crashmail.log"
LOGLEVEL 3
DUPEFILE "$C/dupes" $1
DUPEMODE BAD
DEFAULTZONE 2
INBOUND "$C/inb"
OUTBOUND "$C/outb"
TEMPDIR "$C/tmp"
CREATEPKTDIR "$C/tmp"
PACKETDIR "$C/outb"
STATSFILE "$C/stats"
IMPORTSEENBY
AKA 2:280/5.0
DOMAIN "FidoNet"
NODE 2:280/1.0 "" ""
NETMAIL "NETMAIL" 2:280/5.0 JAM "$C/msg/NETMAIL"
AREA "BAD" 2:280/5.0 JAM "$C/msg/BAD"
EOF
    $GEN areas | while read -r tag _; do
      printf 'AREA "%s" 2:280/5.0 JAM "%s/msg/%s"\nEXPORT 2:280/1.0\n' "$tag" "$C" "$tag"; done
  } > "$C/cm.prefs"
}

ifnews_config() {
  mkdir -p "$W/if/log"
  { $GEN areas; echo "COMP.LANG.C comp.lang.c"; } > "$W/if/Areas"
  cat > "$W/if/config" <<EOF
logfile $W/if/log/iflog
debugfile $W/if/log/ifdebug
verbose 0
address 2:280/5
myfqdn gate.example.org
magicname UUCP
inbound $W/if/in
outbound $W/if/out
nodelist $W/if/nodelist
domtrans .fidonet .fidonet.org
database $W/if/ifdbm
sequencer $W/if/seq
areas $W/if/Areas
maptabdir $(dirname "$IFNEWS")/maptabs
defaultftnchar cp437
defaultrfcchar iso-8859-1
sendmail /bin/cat
rnews /bin/cat
maxpsize 0
EOF
  # ifnews runs setuid ftn: it must reach its directory and write in it.
  chmod 755 "$W"
  id ftn >/dev/null 2>&1 && chown -R ftn "$W/if"
}
[ -n "$IFNEWS" ] && ifnews_config

# ------------------------------------------------------------------ measuring
D=$W/data
RUNS=$W/runs.tsv COUNTS=$W/counts.tsv
: > "$RUNS"; : > "$COUNTS"
QUEUE=()
# measure SECTION LABEL N BYTES PREP COUNT STDIN -- CMD...: queues one command of a section.
measure() { local IFS=$'\x1f'; QUEUE+=("$*"); }

run_section() {
  local r i res f
  for ((r = 0; r <= REPS; r++)); do
    for i in "${!QUEUE[@]}"; do
      IFS=$'\x1f' read -r -a f <<< "${QUEUE[$i]}"
      [ $r -eq 0 ] && echo "  ${f[0]} | ${f[1]} ..." >&2
      ${f[4]}
      sync  # the fresh input copy on disk before the run, outside the timing
      res=$(python3 "$HERE/runone.py" 1800 "${f[6]}" "$W/last.log" -- "${f[@]:8}") || res="0 0 0 0 255"
      [ $r -eq 0 ] && continue
      printf '%s\t%s\t%s\t%s\t%s\n' "${f[0]}" "${f[1]}" "${f[2]}" "${f[3]}" "$res" >> "$RUNS"
    done
  done
  for i in "${!QUEUE[@]}"; do
    IFS=$'\x1f' read -r -a f <<< "${QUEUE[$i]}"
    printf '%s\t%s\t%s\n' "${f[0]}" "${f[1]}" "$(${f[5]} 2>/dev/null || echo -)" >> "$COUNTS"
  done
  QUEUE=()
}

nop() { :; }
none() { echo -; }
reset_dirs() {   # $1 = root of a quillmar installation
  rm -rf "$1/in" "$1/out" "$1/soup" "$1/tmp" "$1/pkt" "$1/quillmar.log"
  mkdir -p "$1/in" "$1/out" "$1/soup" "$1/tmp" "$1/pkt"
}
prep_news() { reset_dirs "$W/q"; cp "$D/news/AREAS" "$D/news/NEWS0001.MSG" "$W/q/soup/"; }
prep_mail() { reset_dirs "$W/q"; cp "$D/mail/AREAS" "$D/mail/MAIL0001.MSG" "$W/q/soup/"; }
prep_pkt() { reset_dirs "$W/q"; cp "$D/0000BE01.PKT" "$W/q/pkt/"; }
prep_b_news() { reset_dirs "$W/b"; cp "$D/news/AREAS" "$D/news/NEWS0001.MSG" "$W/b/soup/"; }
prep_b_mail() { reset_dirs "$W/b"; cp "$D/mail/AREAS" "$D/mail/MAIL0001.MSG" "$W/b/soup/"; }
prep_b_pkt() { reset_dirs "$W/b"; cp "$D/0000BE01.PKT" "$W/b/pkt/"; }
count_import() { $GEN count pkt $(find "$W/q/in" -maxdepth 1 -type f -iname '*.pkt'); }
count_export() { $GEN count soup $(find "$W/q/soup" -maxdepth 1 -type f -iname '*.msg'); }
count_b_import() { $GEN count pkt $(find "$W/b/in" -maxdepth 1 -type f -iname '*.pkt'); }
count_b_export() { $GEN count soup $(find "$W/b/soup" -maxdepth 1 -type f -iname '*.msg'); }
prep_cm() {
  rm -rf "$W/cm/msg" "$W/cm/dupes" "$W/cm/pkt" "$W/cm/crashmail.log" "$W/cm/cm.prefs.busy" \
         "$W/cm/inb" "$W/cm/outb" "$W/cm/tmp"
  mkdir -p "$W/cm/msg" "$W/cm/pkt" "$W/cm/inb" "$W/cm/outb" "$W/cm/tmp"
  cp "$D/0000BE01.PKT" "$W/cm/pkt/"
}
count_cm() { grep -o 'Imported messages: *[0-9]*' "$W/cm/crashmail.log" | tail -n 1 | grep -o '[0-9]*$'; }
prep_if() { rm -rf /tmp/ifmail; }
count_if() { $GEN count pkt $(find /tmp/ifmail -type f -name '*.out' 2>/dev/null); }

gen_workloads() {   # $1 = N
  rm -rf "$D"; mkdir -p "$D"
  $GEN news --n "$1" --seed "$SEED" --out "$D/news" &&
  $GEN mail --n "$1" --seed "$SEED" --out "$D/mail" &&
  $GEN pkt --n "$1" --seed "$SEED" --out "$D/0000BE01.PKT" || { echo "gen.py failed" >&2; exit 1; }
  NEWS_BYTES=$(( $(stat -c %s "$D/news/AREAS") + $(stat -c %s "$D/news/NEWS0001.MSG") ))
  MAIL_BYTES=$(( $(stat -c %s "$D/mail/AREAS") + $(stat -c %s "$D/mail/MAIL0001.MSG") ))
  PKT_BYTES=$(stat -c %s "$D/0000BE01.PKT")
}

run_point() {   # $1 = N
  local n=$1
  gen_workloads "$n"
  echo "N=$n: news $NEWS_BYTES B, mail $MAIL_BYTES B, packet $PKT_BYTES B" >&2
  measure "IMPORT news" "cat" "$n" "$NEWS_BYTES" nop none /dev/null -- cat "$D/news/NEWS0001.MSG"
  measure "IMPORT news" "quillmar" "$n" "$NEWS_BYTES" prep_news count_import /dev/null -- \
    "$QM" IMPORT "/CONFIG=$W/q/quillmar.cfg"
  [ -n "$BASE" ] && measure "IMPORT news" "baseline" "$n" "$NEWS_BYTES" prep_b_news count_b_import /dev/null -- \
    "$BASE" IMPORT "/CONFIG=$W/b/quillmar.cfg"
  [ -n "$IFNEWS" ] && measure "IMPORT news" "ifnews -N" "$n" "$NEWS_BYTES" prep_if count_if "$D/news/NEWS0001.MSG" -- \
    env NEWSSITE=f1.n280.z2.fidonet "$IFNEWS" -I "$W/if/config" -N -r f1.n280.z2.fidonet
  run_section
  measure "IMPORT mail" "cat" "$n" "$MAIL_BYTES" nop none /dev/null -- cat "$D/mail/MAIL0001.MSG"
  measure "IMPORT mail" "quillmar" "$n" "$MAIL_BYTES" prep_mail count_import /dev/null -- \
    "$QM" IMPORT "/CONFIG=$W/q/quillmar.cfg"
  [ -n "$BASE" ] && measure "IMPORT mail" "baseline" "$n" "$MAIL_BYTES" prep_b_mail count_b_import /dev/null -- \
    "$BASE" IMPORT "/CONFIG=$W/b/quillmar.cfg"
  run_section
  measure "EXPORT" "cat" "$n" "$PKT_BYTES" nop none /dev/null -- cat "$D/0000BE01.PKT"
  measure "EXPORT" "quillmar" "$n" "$PKT_BYTES" prep_pkt count_export /dev/null -- \
    "$QM" EXPORT "/PKT=$W/q/pkt/" "/CONFIG=$W/q/quillmar.cfg"
  [ -n "$BASE" ] && measure "EXPORT" "baseline" "$n" "$PKT_BYTES" prep_b_pkt count_b_export /dev/null -- \
    "$BASE" EXPORT "/PKT=$W/b/pkt/" "/CONFIG=$W/b/quillmar.cfg"
  if [ $HAVE_CM = 1 ]; then
    crashmail_prefs $((2 * n + 1000))
    measure "EXPORT" "crashmail TOSSFILE" "$n" "$PKT_BYTES" prep_cm count_cm /dev/null -- \
      crashmail SETTINGS "$W/cm/cm.prefs" TOSSFILE "$W/cm/pkt/0000BE01.PKT" NOSECURITY
  fi
  run_section
  rm -rf "$D"
}

echo "# quillmar benchmark, N = $POINTS"
echo
echo "Machine: $(date -u '+%Y-%m-%d %H:%M UTC'); $(uname -sr); nproc $(nproc); load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "quillmar: $QM${BASE:+; baseline: $BASE}; crashmail: $([ $HAVE_CM = 1 ] && dpkg -s crashmail 2>/dev/null | awk '/^Version/{print $2}' || echo 'not installed'); ifnews: ${IFNEWS:-not installed}"
echo "Method: seed $SEED; one warm-up round, then $REPS rounds, the commands of a workload in turn;" \
     "inputs copied fresh and sync before every run, outside the timing;" \
     "msgs/s and MB/s from the median wall time; CPU = median user+sys per message; RSS = largest peak (GNU time %M)."
for n in $POINTS; do run_point "$n"; done

python3 - "$RUNS" "$COUNTS" <<'EOF'
import sys, statistics as st
runs, counts = sys.argv[1], sys.argv[2]
rows, order = {}, []
for ln in open(runs):
    sec, label, n, b, res = ln.rstrip("\n").split("\t")
    wall, user, sys_, rss, rc = res.split()
    key = (sec, label, int(n))
    if key not in rows:
        rows[key] = dict(n=int(n), b=int(b), wall=[], cpu=[], rss=[], rc=set())
        order.append(key)
    r = rows[key]
    r["wall"].append(float(wall)); r["cpu"].append(float(user) + float(sys_))
    r["rss"].append(int(rss)); r["rc"].add(rc)
out = {}
for ln in open(counts):
    sec, label, c = ln.rstrip("\n").split("\t")
    out.setdefault((sec, label), []).append(c.strip() or "-")
for r in rows.values():
    r["w"] = st.median(r["wall"])
    r["rate"] = r["n"] / r["w"] if r["w"] else 0
    r["mbs"] = r["b"] / 1e6 / r["w"] if r["w"] else 0
    r["us"] = st.median(r["cpu"]) / r["n"] * 1e6
    r["m"] = max(r["rss"]) / 1024
# counts were written in the order of the sections; pair them up by (section, label) and N order
seen = {}
for key in order:
    sec, label, n = key
    lst = out.get((sec, label), [])
    i = seen.get((sec, label), 0)
    rows[key]["out"] = lst[i] if i < len(lst) else "-"
    seen[(sec, label)] = i + 1
secs = []
for k in order:
    if (k[0], k[2]) not in secs:
        secs.append((k[0], k[2]))
for sec, n in secs:
    keys = [k for k in order if k[0] == sec and k[2] == n]
    q = rows.get((sec, "quillmar", n))
    print("\n### %s: %s messages, %.1f MB\n" % (sec, format(n, ","), rows[keys[0]]["b"] / 1e6))
    print("| command | msgs/s | MB/s | wall s | CPU us/msg | peak RSS MB | out msgs | quillmar/this speed |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for k in keys:
        r = rows[k]
        flag = "" if r["rc"] == {"0"} else " (exit %s)" % ",".join(sorted(r["rc"]))
        ratio = "%.2f" % (q["rate"] / r["rate"]) if q and r["rate"] else "-"
        print("| %s%s | %s | %.1f | %.3f | %.1f | %.1f | %s | %s |" % (
            k[1], flag, format(round(r["rate"]), ","), r["mbs"], r["w"], r["us"], r["m"], r["out"], ratio))
ns = sorted({k[2] for k in order})
if len(ns) > 1:
    print("\n### Scaling from N=%s to N=%s\n" % (format(ns[0], ","), format(ns[-1], ",")))
    print("| workload | command | " + " | ".join("CPU us/msg, RSS MB at N=%s" % format(n, ",") for n in ns) +
          " | growth of CPU/msg, of RSS |")
    print("|---|---|" + "---:|" * len(ns) + "---:|")
    pairs = []
    for k in order:
        if (k[0], k[1]) not in pairs and k[1] != "cat":
            pairs.append((k[0], k[1]))
    for sec, label in pairs:
        cells = []
        for n in ns:
            r = rows.get((sec, label, n))
            cells.append("%.1f, %.1f" % (r["us"], r["m"]) if r else "-")
        a, b = rows.get((sec, label, ns[0])), rows.get((sec, label, ns[-1]))
        g = "x%.2f, x%.2f" % (b["us"] / a["us"], b["m"] / a["m"]) if a and b and a["us"] and a["m"] else "-"
        print("| %s | %s | %s | %s |" % (sec, label, " | ".join(cells), g))
EOF
