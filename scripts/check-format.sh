#!/usr/bin/env bash
# Fails when a C++ file of the tree is not formatted the way .clang-format
# says, as Debian 12's clang-format 14 formats it (other versions differ in
# details, so the version is pinned in install-deps.sh). Names every line
# that would change.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=clang-format-14
command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t listed < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
  mapfile -t listed < <(find . \( -path './build*' -o -name node_modules \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)
fi
files=()
for f in "${listed[@]}"; do [ -f "$f" ] && files+=("$f"); done
"$tool" --dry-run -Werror "${files[@]}"
echo "${#files[@]} files formatted as .clang-format says"
