#!/usr/bin/env bash
# compare.sh BASELINE NEW [N]
#
# Runs two quillmar binaries on the same inputs, one after the other in the
# same directory (so that every path in the outputs is the same), with the
# clock frozen by faketime, and compares everything they leave behind: the
# console output of every command (the banner's build-date line masked), the
# log, the packets, the reply files, the decoded files and the list files.
# Exit 0 when both runs are byte for byte the same.
#
# Workloads: the example installation (CHECK, IMPORT, EXPORT, PACK as in
# `make demo`), and a generated one of N messages of each kind (default
# 20000): a SOUP news packet and a SOUP mail packet for IMPORT, a Type 2+
# packet for EXPORT /PKT=, and the same packet from the outbound; and the
# generated one again with ModernMime on, where the binaries know it.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BASELINE NEW [N]" >&2
  exit 2
fi
BASELINE=$(readlink -f "$1")
NEW=$(readlink -f "$2")
N=${3:-20000}
HERE=$(cd "$(dirname "$0")/.." && pwd)
GEN=${QUILLMAR_GEN:-$HERE/tools/bench/gen.py}
WORK=${COMPARE_DIR:-/tmp/quillmar-compare}
CLOCK="2026-03-09 14:05:07"
# The ModernMime run, for binaries that know the keyword (COMPARE_MODERN=0
# leaves it out).
MODERN=${COMPARE_MODERN:-1}
export TZ=UTC

command -v faketime >/dev/null || { echo "faketime is needed" >&2; exit 2; }

rm -rf "$WORK"
mkdir -p "$WORK/inputs"

# --- the generated inputs, made once for both binaries ---
if [ -f "$GEN" ]; then
  python3 "$GEN" news --n "$N" --out "$WORK/inputs/news" >/dev/null
  python3 "$GEN" mail --n "$N" --out "$WORK/inputs/mail" >/dev/null
  mkdir -p "$WORK/inputs/pkt"
  python3 "$GEN" pkt --n "$N" --out "$WORK/inputs/pkt/0000BE01.PKT" >/dev/null
  python3 "$GEN" areas > "$WORK/inputs/areas.txt"
  HAVE_GEN=1
else
  echo "note: $GEN not found; only the example installation is compared" >&2
  HAVE_GEN=0
fi

# Runs one command of a scenario; its console output goes into the tree.
step() {
  local bin=$1 name=$2
  shift 2
  local rc=0
  faketime -f "$CLOCK" "$bin" "$@" >"out/$name.stdout" 2>"out/$name.stderr" || rc=$?
  echo "$rc" >"out/$name.rc"
  # The banner names the build's date and time.
  sed -i 's/^Public gamma version; compiled .*$/Public gamma version; compiled (masked)/' \
    "out/$name.stdout"
}

# The generated configuration with more of the features switched on.
generated_config() {
  local root=$1
  python3 "$GEN" qcfg --root "$root"
  while read -r tag group; do echo "AreaMap $tag $group"; done <"$WORK/inputs/areas.txt"
  cat <<EOF
DecodeDir $root/dec/
NetmailDir $root/net/
TimeZone +0100
PacketPwd secret
MaxPKTSize 500
ImportLimit 16384
HeaderInfo Name Yes
NoSpamText nospam.
Origin Quillmar comparison gateway
Organization Comparison FidoNet Gateway
DefCharSet iso-8859-1
CharSetMap IBMPC iso-8859-1 EXPORT
CharSetMap LATIN-1#2 iso-8859-1 IMPORT
UseQP Yes
QuoteTo Yes
QuoteChar > 0-5 0-3
QuoteMask wrote:
QuoteMask writes:
StripKludges Some News
JunkAction junk
JunkSubj MAKE MONEY FAST
JunkFromTo Yes
AttachMail decode
AttachNews decode
ExportMaxTo 50
ExportMaxXPost 10
EOF
}

scenario_examples() {
  local bin=$1 root=$2
  cp -r "$HERE/examples" "$root"
  mkdir -p "$root/out"
  cd "$root"
  step "$bin" 1-check CHECK /CONFIG=./QUILLMAR.CFG
  step "$bin" 2-import IMPORT /VERBOSE /CONFIG=./QUILLMAR.CFG
  step "$bin" 3-export EXPORT /VERBOSE /CONFIG=./QUILLMAR.CFG
  step "$bin" 4-pack PACK /VERBOSE /CONFIG=./QUILLMAR.CFG
}

# The generated workload; further configuration lines may follow the root.
scenario_generated() {
  local bin=$1 root=$2
  shift 2
  mkdir -p "$root"/{in,out,soup,tmp,dec,net,pkt}
  { generated_config "$root"; for line in "$@"; do echo "$line"; done; } >"$root/quillmar.cfg"
  cd "$root"
  cp "$WORK/inputs/news/"* soup/
  step "$bin" 1-import-news IMPORT /CONFIG=./quillmar.cfg
  cp "$WORK/inputs/mail/"* soup/
  step "$bin" 2-import-mail IMPORT /VERBOSE /CONFIG=./quillmar.cfg
  cp "$WORK/inputs/pkt/0000BE01.PKT" pkt/
  step "$bin" 3-export-pkt EXPORT /VERBOSE /PKT=./pkt/ /CONFIG=./quillmar.cfg
  # The same packet again, found in the outbound (gateway 2:280/5).
  cp "$WORK/inputs/pkt/0000BE01.PKT" out/01180005.OUT
  step "$bin" 4-export-outbound EXPORT /CONFIG=./quillmar.cfg
}

run_all() {
  local bin=$1 into=$2
  mkdir -p "$WORK/run"
  scenario_examples "$bin" "$WORK/run/examples"
  if [ "$HAVE_GEN" = 1 ]; then
    scenario_generated "$bin" "$WORK/run/generated"
    if [ "$MODERN" = 1 ]; then
      # The modern MIME handling and charset recoding switched on.
      scenario_generated "$bin" "$WORK/run/modern" "ModernMime Yes" "FidoCharset CP437"
    fi
  fi
  cd "$WORK"
  mv "$WORK/run" "$into"
}

start=$(date +%s)
run_all "$BASELINE" "$WORK/baseline"
run_all "$NEW" "$WORK/new"
end=$(date +%s)

files=$(find "$WORK/baseline" -type f | wc -l)
bytes=$(du -sb "$WORK/baseline" | cut -f1)
if diff -r "$WORK/baseline" "$WORK/new" >"$WORK/diff.txt"; then
  echo "compare: identical ($files files, $bytes bytes, N=$N, $((end - start)) s)"
  exit 0
fi
echo "compare: DIFFERENT (see $WORK/diff.txt)"
head -40 "$WORK/diff.txt"
exit 1
