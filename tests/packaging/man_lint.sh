#!/bin/sh
# mandoc's lint of the manual pages, at every level down to style.
#   man_lint.sh <page>...
# One kind of message is left out: "referenced manual not found" says only
# whether the machine running the test has the cited programs' pages
# installed (tar(1), sv(8), this suite's own), which is not the pages' fault.
command -v mandoc >/dev/null 2>&1 || { echo "mandoc is not installed"; exit 77; }
status=0
for page in "$@"; do
  out=$(mandoc -Tlint "$page" 2>&1 | grep -v -e 'referenced manual not found' \
                                            -e 'outdated mandoc.db')
  if [ -n "$out" ]; then
    printf '%s\n' "$out"
    status=1
  fi
done
[ $status = 0 ] && echo "lint clean: $*"
exit $status
