#!/usr/bin/env bash
# cmake --install into a fresh prefix: the program in bin/, its manual page,
# which man renders without a warning and which names every option the
# program's help names, and a bash completion that offers those options.
#   tests/install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
cli=$prefix/bin/kelvane-cli
page=$prefix/share/man/man1/kelvane-cli.1
completion=$prefix/share/bash-completion/completions/kelvane-cli
"$cli" --version | grep -q '^kelvane-cli [0-9]'
[ -f "$page" ] || { echo "no manual page at $page"; exit 1; }
[ -f "$completion" ] || { echo "no completion at $completion"; exit 1; }

rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$prefix/warnings")
if [ -s "$prefix/warnings" ]; then
  echo "man -l $page warns:"
  cat "$prefix/warnings"
  exit 1
fi
grep -q 'EXIT STATUS' <<<"$rendered" || { echo "the page did not render"; exit 1; }

# shellcheck disable=SC1090
source "$completion"
complete_line() { # the words of a command line; prints what completion offers
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kelvane_cli
  echo " ${COMPREPLY[*]} "
}
status=0
for command in scan move fetch; do
  offered=$(complete_line kelvane-cli "$command" -)
  for option in $("$cli" help "$command" | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    if ! grep -qF -- "${option//-/\\-}" "$page"; then
      echo "the manual page does not describe $command $option"
      status=1
    fi
    if [[ $offered != *" $option "* ]]; then
      echo "the completion does not offer $command $option (it offers:$offered)"
      status=1
    fi
  done
done
[[ $(complete_line kelvane-cli mo) == " move " ]] || { echo "no command completion"; status=1; }
exit $status
