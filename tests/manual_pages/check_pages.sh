#!/usr/bin/env bash
# Checks the manual pages and the bash completion against the built programs.
#   check_pages.sh SOURCE_DIR KIVO KIVO_MKCAT
set -uo pipefail
src=$1 kivo=$2 mkcat=$3
pages=$src/docs/man
completion=$src/docs/completion/kivo
status=0
fail() { echo "FAIL: $*"; status=1; }
need() {  # a missing checker fails in CI and skips elsewhere, as the peer tests do
  if ! command -v "$1" >/dev/null; then
    if [ "${CI:-}" = true ]; then fail "$1 is not installed"; else echo "skipped: $1 missing"; exit 0; fi
  fi
}
need man
need groff
need bash
[ -f /usr/share/bash-completion/bash_completion ] || need bash-completion-package

# Every page renders without a warning, by man (as a user reads it) and by groff at its
# strictest.
for page in "$pages"/kivo.1 "$pages"/kivo-mkcat.1 "$pages"/kivo-cups.8; do
  out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man warns about $(basename "$page"): $out"
  out=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$out" ] || fail "groff warns about $(basename "$page"): $out"
done

# Every long option a --help prints is documented: the page cannot drift from the program.
rendered=$(MANWIDTH=200 man -l "$pages/kivo.1" 2>/dev/null | col -b)
for command in "" discover targets get walk probe credentials report status setup; do
  help=$("$kivo" $command --help 2>&1)
  for option in $(grep -oE -- '--[a-z0-9][a-z0-9-]*' <<<"$help" | sort -u); do
    grep -qe "$option" <<<"$rendered" || fail "kivo ${command:-(no command)} --help names $option, kivo(1) does not"
  done
done
for section in NAME SYNOPSIS DESCRIPTION COMMANDS "EXIT STATUS" FILES EXAMPLES; do
  grep -q "^$section" <<<"$rendered" || fail "kivo(1) has no $section section"
done
rendered=$(MANWIDTH=200 man -l "$pages/kivo-cups.8" 2>/dev/null | col -b)
for word in "network" "ERROR:" "8 seconds" "127 bytes"; do
  grep -qe "$word" <<<"$rendered" || fail "kivo-cups(8) does not say $word"
done
rendered=$(MANWIDTH=200 man -l "$pages/kivo-mkcat.1" 2>/dev/null | col -b)
for option in $("$mkcat" --help 2>&1 | grep -oE -- '(^| )-(-[a-z]+|[a-z])' | sort -u); do
  grep -qe "$option" <<<"$rendered" || fail "kivo-mkcat's usage names $option, kivo-mkcat(1) does not"
done

# The completion, in a bash with bash-completion loaded, as the shell would call it.
home=$(mktemp -d /tmp/kivo8-completion-XXXXXX)
trap 'rm -rf "$home"' EXIT
HOME=$home "$kivo" targets add-range 10.9.8.1 10.9.8.20 >/dev/null || fail "cannot save a target"
HOME=$home "$kivo" targets add-slp DEFAULT >/dev/null || fail "cannot save a target"
complete_words() {  # complete_words WORD... : prints what the completion offers for the last word
  HOME=$home KIVO=$kivo bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$0"
    kivo() { "$KIVO" "$@"; }
    COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 ))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _kivo
    printf "%s\n" "${COMPREPLY[@]}"' "$completion" "$@"
}
cases=(
  "kivo |discover targets get walk probe status credentials report ipp setup help"
  "kivo setup --|--queue --default --dry-run --server --lang --datadir --help"
  "kivo credentials |list add remove"
  "kivo t|targets"
  "kivo discover --no-|--no-broadcast --no-endpoints --no-slp --no-mdns --no-snmpv3 --no-web"
  "kivo targets |list add-range add-broadcast add-slp remove set"
  "+kivo targets remove |10001 20001"
  "kivo targets set 1000|10001"
  "kivo targets add-range 10.0.0.1 10.0.0.9 --|--timeout --hops --community --help"
  "kivo get -l |noAuthNoPriv authNoPriv authPriv"
  "kivo discover --format |table json ndjson csv"
  "kivo --lang de targets |list add-range add-broadcast add-slp remove set"
  "kivo help w|walk"
  "kivo walk --m|--max --max-repetitions"
  "kivo walk --no|--no-bulk"
  "kivo report --o|--output"
  "kivo ipp --v|--verify"
  "kivo discover --st|--status"
  "kivo status --|--json --openmetrics --ipp --save-credentials --help"
  "kivo status -v |1 2c 3"
  "kivo help st|status"
  "kivo --v|--version --v2c --v3-user"
)
# A row marked + lists what must be among the offers (the saved ids are offered with the
# host's own interface ids, which depend on the machine).
for row in "${cases[@]}"; do
  subset=false
  [[ $row == +* ]] && { subset=true; row=${row#+}; }
  line=${row%%|*} want=${row#*|}
  read -ra words <<<"$line"
  [[ $line == *" " ]] && words+=("")
  got=$(complete_words "${words[@]}" | sort | tr '\n' ' ')
  if $subset; then
    for w in $want; do
      grep -qw -- "$w" <<<"$got" || fail "completing '$line': offered '$got', without '$w'"
    done
    continue
  fi
  expected=$(tr ' ' '\n' <<<"$want" | sort | tr '\n' ' ')
  [ "$got" = "$expected" ] || fail "completing '$line': offered '$got', expected '$expected'"
done

[ $status -eq 0 ] && echo "manual pages and completion ok"
exit $status
