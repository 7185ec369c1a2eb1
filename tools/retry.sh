# Sourced by the installers: runs a command that downloads, and runs it
# again while it fails for a reason that passes (a network that drops, a
# mirror in the middle of its sync).
#   retrying PATTERN COMMAND...
# COMMAND's output is shown and kept in the file $retry_log (the caller names
# it). While COMMAND fails and that output matches the extended regular
# expression PATTERN, it is run again after TARSIL_RETRY_PAUSE seconds (15),
# TARSIL_RETRY_ATTEMPTS times in all (3). $retry_status is its last exit
# status; retrying itself always succeeds, so that `set -e` callers can look.
retrying() {
  retry_pattern=$1
  shift
  retry_attempt=1
  while :; do
    { "$@" 2>&1 && echo 0 >"$retry_log.status" || echo $? >"$retry_log.status"; } | tee "$retry_log"
    retry_status=$(cat "$retry_log.status")
    rm -f "$retry_log.status"
    [ "$retry_status" -eq 0 ] && return 0
    grep -Eq "$retry_pattern" "$retry_log" || return 0
    [ "$retry_attempt" -lt "${TARSIL_RETRY_ATTEMPTS:-3}" ] || return 0
    echo "$(basename "$0"): attempt $retry_attempt of ${TARSIL_RETRY_ATTEMPTS:-3} failed; trying again in ${TARSIL_RETRY_PAUSE:-15} s"
    sleep "${TARSIL_RETRY_PAUSE:-15}"
    retry_attempt=$((retry_attempt + 1))
  done
}
