#!/bin/sh
# INN 2 for one run of the tests (the ctest fixture "inn" around every
# test): "start STATE" starts it when it is installed but not running and
# notes that in the file STATE; "stop STATE" stops it again when STATE says
# that this run started it. A news server that was running before is left
# alone, and without INN (or without root) the news tests skip themselves.
ctl=/usr/lib/news/bin/ctlinnd
running() { "$ctl" -t 5 mode >/dev/null 2>&1; }

case $1 in
start)
  rm -f "$2"
  if [ ! -x "$ctl" ] || running || [ "$(id -u)" -ne 0 ]; then exit 0; fi
  echo "started by the tests" >"$2"
  /etc/init.d/inn2 start >/dev/null 2>&1
  i=0
  while [ $i -lt 50 ]; do
    running && exit 0
    sleep 0.2
    i=$((i + 1))
  done
  echo "INN 2 does not start (see /var/log/news); the news tests skip themselves"
  ;;
stop)
  [ -f "$2" ] || exit 0
  rm -f "$2"
  /etc/init.d/inn2 stop >/dev/null 2>&1
  i=0
  while [ $i -lt 100 ] && pgrep -x innd >/dev/null; do
    sleep 0.2
    i=$((i + 1))
  done
  if pgrep -x innd >/dev/null; then
    echo "innd is still running after /etc/init.d/inn2 stop" >&2
    exit 1
  fi
  ;;
*)
  echo "usage: $0 start|stop STATE" >&2
  exit 2
  ;;
esac
exit 0
