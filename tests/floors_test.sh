#!/usr/bin/env bash
# The folders stand on floors, each including headers only from its own
# floor and those below: core/ <- link/ <- panel/ <- supervision/ <- remote/
# and videohub/ (one floor, side by side) <- app/.
# Prints every include that reaches up, and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
floors=(core link panel supervision remote videohub app)
level() {
  local i
  [[ $1 == videohub ]] && set -- remote
  for i in "${!floors[@]}"; do [[ ${floors[$i]} == "$1" ]] && echo "$i" && return; done
  echo -1
}
bad=0
for folder in "${floors[@]}"; do
  [[ -d $folder ]] || continue
  mine=$(level "$folder")
  while IFS=: read -r file header; do
    target=${header%%/*}
    theirs=$(level "$target")
    if ((theirs > mine)); then
      echo "$file includes $header from a floor above"
      bad=1
    fi
  done < <(grep -rHo --include='*.cpp' --include='*.h' '#include "[a-z_]*/[^"]*"' "$folder" | sed 's/#include "//; s/"$//')
done
exit $bad
