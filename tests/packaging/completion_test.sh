#!/bin/bash
# Loads the bash completion in a real bash, once bare and once under
# bash-completion's own loader, and checks what it offers for each command
# line of the table below against scratch roots and package files.
#   completion_test.sh <completion script>
set -u
script=$(realpath "$1") || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/sorn-completion.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# Databases as the programs write and read them: records of name, version
# and paths, separated by one or more empty lines; a record of a name alone
# still names a package.
mkdir -p "$work/root1/var/lib/pkg" "$work/root2/var/lib/pkg" "$work/abs" \
         "$work/root1/rel" "$work/pkgs/sub" "$work/pkgs/subdir2"
printf 'hello\n1.0-1\nusr/bin/hello\n\n\nhelp2man\n1.49\nusr/bin/help2man\n\nzlib\n1.3\nusr/lib/libz.a\n\nhollow\n\nhello\n0.9\nusr/bin/hello\n' \
    > "$work/root1/var/lib/pkg/db"
printf 'hexedit\n1.6\nusr/bin/hexedit\n\n' > "$work/root2/var/lib/pkg/db"
printf 'hashtool\n2\nusr/bin/hashtool\n\n' > "$work/abs/db"
printf 'hydra\n3\nusr/bin/hydra\n\n' > "$work/root1/rel/db"
: > "$work/pkgs/hello#1.0-1.pkg.tar.zst"
: > "$work/pkgs/h#2.pkg.tar.gz"
: > "$work/pkgs/hx.pkg.tar.gz#1.pkg.tar.gz"   # marker before the "#": not a package
: > "$work/pkgs/hnotes.txt"
r1=$work/root1 r2=$work/root2

# Each row: environment assignments (or -), the command line with the
# cursor at its end ("|" marks an empty word under the cursor), the offers
# sorted and joined by blanks.
cases=(
  "-|zarnin -|-f -h -r -u -v"
  "-|zarnin -u -|-f -h -r -u -v"
  "-|zarnin h|h#2.pkg.tar.gz hello#1.0-1.pkg.tar.zst"
  "-|zarnin -f s|sub subdir2"
  "-|zarnin -r $work/pk|$work/pkgs"
  "-|zarnin -u hello#1.0-1.pkg.tar.zst h|"
  "-|zarnout -|-f -h -r -v"
  "-|zarnout -r $r1 h|hello help2man hollow"
  "-|zarnout -r $r1 |hello help2man hollow zlib"
  "-|zarnout -fr $r1 z|zlib"
  "-|zarnout -r$r1 hel|hello help2man"
  "-|zarnout -r $r2 -r $r1 z|zlib"
  "-|zarnout -r $r1/ z|zlib"
  "PKG_DBDIR=rel|zarnout -r $r1/ h|hydra"
  "-|zarnout -r '$r1' hel|hello help2man"
  "PKG_ROOT=$r2|zarnout h|hexedit"
  "PKG_ROOT=$r2|zarnout -r $r1 he|hello help2man"
  "PKG_ROOT=$r1 PKG_DBDIR=$work/abs|zarnout h|hashtool"
  "PKG_ROOT=$r1 PKG_DBDIR=rel|zarnout h|hydra"
  "PKG_ROOT=$r1 PKG_DBDIR=|zarnout hel|hello help2man"
  "-|zarnout -r $work/nowhere h|"
  "-|zarnout -r $r1 -- h|hello help2man hollow"
  "-|zarnout -r $r1 hello h|"
  "-|zarnout -r $work/ro|$work/root1 $work/root2"
  "-|wardrun -p |cargo standard"
  "-|wardrun -p c|cargo"
  "-|wardrun -p cargo bas|bash"
  "-|wardrun bas|bash"
)

run_cases() {  # $1: "bare" or "loader"
  local mode=$1 row env line want words got
  local failed=0
  for row in "${cases[@]}"; do
    IFS='|' read -r env line want <<<"$row"
    got=$(
      cd "$work/pkgs" || exit 1
      unset PKG_ROOT PKG_DBDIR
      [[ $env != - ]] && for a in $env; do export "${a?}"; done
      if [[ $mode == loader ]]; then
        export BASH_COMPLETION_USER_DIR=$work/user
        source /usr/share/bash-completion/bash_completion
        __load_completion "${line%% *}" || exit 1
      else
        source "$script"
      fi
      read -ra words <<<"$line"
      [[ $line == *' ' ]] && words+=("")
      COMP_WORDS=("${words[@]}")
      COMP_CWORD=$((${#words[@]} - 1))
      COMP_LINE=$line COMP_POINT=${#line}
      fn=$(complete -p "${words[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
      "$fn" "${words[0]}" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}" 2>/dev/null
      # Commands are many: keep only the one the row names.
      if [[ $line == wardrun*bas ]]; then
        printf '%s\n' "${COMPREPLY[@]}" | grep -qx bash && echo bash
      else
        printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | grep -v '^$'
      fi
    ) 2>&1
    got=$(echo $got)
    if [[ $got != "$want" ]]; then
      echo "FAIL ($mode) [$env] $line"
      echo "  want: $want"
      echo "  got:  $got"
      failed=1
    fi
  done
  return $failed
}

status=0
run_cases bare || status=1
if [[ -r /usr/share/bash-completion/bash_completion ]]; then
  # bash-completion loads a command's completion from a file named after
  # it, as installed under share/bash-completion/completions.
  mkdir -p "$work/user/completions"
  for prog in zarnin zarnout wardrun; do cp "$script" "$work/user/completions/$prog"; done
  run_cases loader || status=1
else
  echo "bash-completion not installed: only the bare run was made"
fi
((status == 0)) && echo "all ${#cases[@]} command lines complete as expected"
exit $status
