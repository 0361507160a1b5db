#!/usr/bin/env bash
# The plugin library's dynamic symbol table defines exactly the three entry points.
set -euo pipefail
lib=$1
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbVvRrGgSsi]$/ {print $3}' | sed 's/@.*//' | sort -u)
expected=$(printf '%s\n' Create EnableEventXMLLogTarget RegisterNativeEventCallback)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ"
  echo "expected:"; echo "$expected"
  echo "actual:"; echo "$actual"
  exit 1
fi
echo "exports: $(echo $actual)"
