#!/usr/bin/env bash
# The core never includes the window toolkit: only src/qt/ and main() may.
root=$1
hits=$(grep -rnE '#\s*include\s*[<"](Q[A-Za-z]|qt)' "$root/src" --include='*.h' --include='*.cpp' \
  | grep -v "^$root/src/qt/" | grep -v "^$root/src/app/main.cpp:")
if [ -n "$hits" ]; then
  echo "Qt includes outside src/qt:"; echo "$hits"; exit 1
fi
echo "core is free of Qt includes"
