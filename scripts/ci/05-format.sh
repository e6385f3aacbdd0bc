#!/usr/bin/env bash
# Fails when a C++ source of the project is not as clang-format (with the project's
# .clang-format) would write it, and names the files. To format them: the same list, with -i.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find app server protocol host module emulator support programs testing tests bench examples \
                         -name '*.cpp' -o -name '*.h')
fi
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "format: ${#unformatted[@]} file(s) differ from clang-format:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "format: run clang-format -i on them" >&2
  exit 1
fi
echo "format: ${#files[@]} files as clang-format writes them"
