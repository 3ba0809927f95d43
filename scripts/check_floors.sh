#!/bin/sh
# The library's floors only point down: no source file includes a header of
# a floor above its own, the interceptor and the policy do not include each
# other, and no source file is over 400 lines. Prints each offence; the exit
# status is the number of offences (capped at 1).
#
#   startup                      may include everything
#   interceptor   policy         may include core; the interceptor also hook
#   hook          core           include only themselves
#
# The public header tesselguard.h declares the configuration call, which
# start-up defines: only start-up includes it.
src=${1:-$(dirname "$0")/../src}
allowed() {
  case "$1" in
    startup) echo "startup interceptor policy core hook public" ;;
    interceptor) echo "interceptor core hook" ;;
    policy) echo "policy core" ;;
    core) echo "core" ;;
    hook) echo "hook" ;;
    *) echo "" ;;
  esac
}
offences=0
for file in $(cd "$src" && find . -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' | sort); do
  file=${file#./}
  floor=${file%%/*}
  [ "$floor" = "$file" ] && continue
  lines=$(wc -l < "$src/$file")
  if [ "$lines" -gt 400 ]; then
    echo "$file: $lines lines (over 400)"
    offences=$((offences + 1))
  fi
  for included in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$src/$file"); do
    case "$included" in
      */*) target=${included%%/*} ;;
      tesselguard.h) target=public ;;
      *) continue ;;  # a header beside the file
    esac
    case " $(allowed "$floor") " in
      *" $target "*) ;;
      *) echo "$file includes \"$included\": $floor may not include $target"
         offences=$((offences + 1)) ;;
    esac
  done
done
[ "$offences" -eq 0 ]
