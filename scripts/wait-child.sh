# Sourced by run-gateway.sh and host-safe-run.sh: wait_child PID waits until PID has ended and
# sets `status` to its exit status. A trapped signal interrupts `wait` (status above 128), so it
# waits again while the process lives; a process that ended while a signal was being handled
# still has its status to collect.
wait_child() {
  status=0
  while kill -0 "$1" 2>/dev/null; do
    wait "$1" && status=0 || status=$?
  done
  if wait "$1" 2>/dev/null; then status=0; else local s=$?; [ "$s" = 127 ] || status=$s; fi
}
