#!/usr/bin/env bash
# Lists every "ERROR: ..." message of the tool that no test expects. UNREACHABLE holds those that only
# memory exhaustion or a failing C library can produce, and those the loader's own checks pre-empt
# (it refuses files whose ELF header or program header table it cannot read).
set -euo pipefail
root=${1:-.}
UNREACHABLE=(
  "ERROR: Could not create symtab: "
  "ERROR: Could not add symbol definition: "
  "ERROR: Could not add symbol '"
  "ERROR: Could not initialize string object forsymbol name"
  "ERROR: Formatting error"
  "ERROR: Could not get Ehdr"
  "ERROR: Could not get phdr"
)
missing=0
while IFS= read -r message; do
  # The fixed text before the first conversion or escape identifies the message.
  key=${message%%%*}
  key=${key%%\\*}
  for skip in "${UNREACHABLE[@]}"; do
    [[ "$key" == "$skip"* || "$skip" == "$key"* ]] && continue 2
  done
  if ! grep -rqF --include="*.cpp" -e "$key" "$root/tests"; then
    echo "no test expects: $message"
    missing=1
  fi
done < <(grep -rhoE '"ERROR: [^"]*' "$root/src" --include='*.cpp' | sed 's/^"//' | sort -u)
exit $missing
