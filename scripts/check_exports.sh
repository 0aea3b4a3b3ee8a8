#!/usr/bin/env bash
# Static check of the built products against the export table
# src/exports/exports.tab (ordinal, name, argument bytes):
#
#   win32   build/win32/TARVELIN.DLL  exactly the table's names at exactly their
#           ordinals (ordinal base 1, empty slots empty, no other names), the
#           module name, imports from system DLLs only, and for each export the
#           stdcall symbol Name@bytes at the exported address whose returns
#           remove exactly that many argument bytes;
#   win64   build/win64/TARVELIN.DLL  the same, without the stdcall checks;
#   native  build/native/libtarvelin.so  exactly the table's names as defined
#           dynamic functions, nothing else.
#
#   scripts/check_exports.sh [win32|win64|native]...   (default: all three)
#
# Paths can be overridden with TARVELIN_WIN32_DLL, TARVELIN_WIN64_DLL,
# TARVELIN_SO and TARVELIN_EXPORT_TABLE. Ends with "exports: N checked, N
# failed"; exits nonzero on any problem, a missing product included.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

table=${TARVELIN_EXPORT_TABLE:-src/exports/exports.tab}
win32_dll=${TARVELIN_WIN32_DLL:-build/win32/TARVELIN.DLL}
win64_dll=${TARVELIN_WIN64_DLL:-build/win64/TARVELIN.DLL}
native_so=${TARVELIN_SO:-build/native/libtarvelin.so}

# Imports a DLL may have: the system itself and the system C runtime.
allowed_import() {
  local lower
  lower=$(printf '%s' "$1" | tr '[:upper:]' '[:lower:]')
  case "$lower" in
    kernel32.dll | user32.dll | oleaut32.dll | msvcrt.dll | api-ms-win-crt-*.dll) return 0 ;;
    *) return 1 ;;
  esac
}

# Dynamic symbols the shared library may define beyond the table. None are
# needed: the version script makes everything else local, and the toolchain
# here puts no _init/_fini/_edata-style symbols into the dynamic table.
native_allowed_extra=()

declare -A tab_ordinal=() tab_bytes=() by_ordinal=() failed_export=()
tab_names=()
other_problems=0
max_ordinal=0

export_problem() {
  failed_export[$1]=1
  shift
  echo "FAIL $*"
}

other_problem() {
  other_problems=$((other_problems + 1))
  echo "FAIL $*"
}

read_table() {
  [ -f "$table" ] || { other_problem "$table missing"; return 1; }
  local ordinal name bytes rest
  while read -r ordinal name bytes rest; do
    case "$ordinal" in '' | \#*) continue ;; esac
    if ! [[ "$ordinal" =~ ^[0-9]+$ && "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ && "$bytes" =~ ^[0-9]+$ ]] ||
      [ -n "$rest" ]; then
      other_problem "$table: malformed line '$ordinal $name $bytes $rest'"
      continue
    fi
    ordinal=$((10#$ordinal))
    if [ "$ordinal" -lt 1 ]; then
      other_problem "$table: $name has ordinal $ordinal; ordinals start at 1"
      continue
    fi
    if [ -n "${tab_ordinal[$name]+x}" ]; then
      other_problem "$table: $name listed twice"
      continue
    fi
    if [ -n "${by_ordinal[$ordinal]+x}" ]; then
      other_problem "$table: ordinal $ordinal given to both ${by_ordinal[$ordinal]} and $name"
      continue
    fi
    if [ $((bytes % 4)) -ne 0 ]; then
      other_problem "$table: $name takes $bytes argument bytes, not a whole number of 32-bit slots"
    fi
    tab_ordinal[$name]=$ordinal
    tab_bytes[$name]=$bytes
    by_ordinal[$ordinal]=$name
    tab_names+=("$name")
    [ "$ordinal" -gt "$max_ordinal" ] && max_ordinal=$ordinal
  done <"$table"
  [ ${#tab_names[@]} -gt 0 ] || { other_problem "$table lists no exports"; return 1; }
}

# objdump -p, reduced to records: BASE n, DLLNAME name, SLOTS hex,
# EAT ordinal rva kind, NAME ordinal name, IMPORT dll.
pe_records() {
  "$1" -p "$2" | awk '
    /^The Export Tables/ { sec = "exp"; next }
    sec == "exp" && /^Name[ \t]/ { print "DLLNAME", $NF }
    sec == "exp" && /^Ordinal Base/ { base = $NF; print "BASE", base }
    sec == "exp" && /^Number in:/ { numin = 1; next }
    numin && /Export Address Table/ { print "SLOTS", $NF; numin = 0 }
    /^Export Address Table -- / { sec = "eat"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { sec = "names"; next }
    (sec == "eat" || sec == "names") && /^[ \t]*$/ { sec = ""; next }
    sec == "eat" {
      line = $0; gsub(/[][]/, " ", line); n = split(line, f, " ")
      if (f[2] == "+base") print "EAT", f[3], f[4], f[5]
      next
    }
    sec == "names" {
      line = $0; gsub(/[][]/, " ", line); n = split(line, f, " ")
      if (f[2] == "+base") print "NAME", f[3], f[n]; else print "NAME", f[1] + base, f[2]
      next
    }
    /DLL Name:/ { print "IMPORT", $NF }
  '
}

check_dll() {
  local label=$1 file=$2 objdump=$3 nm=$4 format=$5
  echo "== $label: $file"
  if [ ! -f "$file" ]; then
    other_problem "$label: $file missing (cmake --preset $label && cmake --build build/$label)"
    return
  fi
  if ! command -v "$objdump" >/dev/null; then
    other_problem "$label: $objdump not installed (Debian package binutils-mingw-w64)"
    return
  fi
  if ! "$objdump" -f "$file" | grep -q "file format $format\$"; then
    other_problem "$label: $file is not a $format image: $("$objdump" -f "$file" | grep -o 'file format.*')"
    return
  fi

  local records
  records=$(pe_records "$objdump" "$file")
  local base dllname slots
  base=$(awk '$1 == "BASE" { print $2 }' <<<"$records")
  dllname=$(awk '$1 == "DLLNAME" { print $2 }' <<<"$records")
  slots=$(awk '$1 == "SLOTS" { print $2 }' <<<"$records")
  if [ -z "$base" ]; then
    other_problem "$label: no export table"
    return
  fi
  [ "$base" = 1 ] || other_problem "$label: ordinal base is $base, not 1"
  [ "$dllname" = TARVELIN.DLL ] || other_problem "$label: export table names the module '$dllname', not TARVELIN.DLL"
  if [ -n "$slots" ] && [ $((16#$slots)) -ne "$max_ordinal" ]; then
    other_problem "$label: export address table has $((16#$slots)) slots; the highest ordinal is $max_ordinal"
  fi

  declare -A name_ordinal=() eat_rva=() eat_kind=()
  local kind a b c
  while read -r kind a b c; do
    case "$kind" in
      EAT) eat_rva[$a]=$b eat_kind[$a]=$c ;;
      NAME)
        if [ -n "${name_ordinal[$b]+x}" ]; then
          other_problem "$label: $b is exported twice"
        fi
        name_ordinal[$b]=$a
        ;;
    esac
  done <<<"$records"

  local name ordinal
  for name in "${tab_names[@]}"; do
    ordinal=${tab_ordinal[$name]}
    if [ -z "${name_ordinal[$name]+x}" ]; then
      export_problem "$name" "$label: $name is not exported by name"
    elif [ "${name_ordinal[$name]}" != "$ordinal" ]; then
      export_problem "$name" "$label: $name is exported at ordinal ${name_ordinal[$name]}, not $ordinal"
    elif [ -z "${eat_rva[$ordinal]+x}" ]; then
      export_problem "$name" "$label: ordinal $ordinal ($name) has no address"
    elif [ "${eat_kind[$ordinal]}" != Export ]; then
      export_problem "$name" "$label: ordinal $ordinal ($name) is a ${eat_kind[$ordinal]}, not code in the DLL"
    fi
  done
  for name in "${!name_ordinal[@]}"; do
    [ -n "${tab_ordinal[$name]+x}" ] ||
      other_problem "$label: exports $name (ordinal ${name_ordinal[$name]}), which is not in $table"
  done
  for ordinal in "${!eat_rva[@]}"; do
    [ -n "${by_ordinal[$ordinal]+x}" ] ||
      other_problem "$label: ordinal $ordinal has an address but is an empty slot of the table"
  done

  # Imports: only system DLLs, so that the DLL runs on a bare system.
  local dll imports=()
  while read -r kind dll; do
    [ "$kind" = IMPORT ] || continue
    imports+=("$dll")
    allowed_import "$dll" ||
      other_problem "$label: imports $dll, which is not a system DLL (link its code statically)"
  done <<<"$records"
  [ ${#imports[@]} -gt 0 ] && echo "   imports: ${imports[*]}"

  if [ "$label" = win32 ]; then
    check_stdcall "$file" "$objdump" "$nm"
  fi
  echo "   ${#name_ordinal[@]} names, $((16#${slots:-0})) slots"
}

# 32-bit only: each export is the stdcall function Name@bytes, and every return
# in it removes exactly those argument bytes from the caller's stack.
check_stdcall() {
  local file=$1 objdump=$2 nm=$3
  if ! command -v "$nm" >/dev/null; then
    other_problem "win32: $nm not installed (Debian package binutils-mingw-w64)"
    return
  fi
  local image_base
  image_base=$("$objdump" -p "$file" | awk '/^ImageBase/ { print $2; exit }')
  local symbols
  symbols=$("$nm" "$file" 2>/dev/null)
  if [ -z "$symbols" ]; then
    other_problem "win32: $file has no symbol table; the stdcall argument sizes cannot be checked"
    return
  fi
  # Returns per function (".cold" pieces folded into their function): "function immediate".
  local returns
  returns=$("$objdump" -d --no-show-raw-insn "$file" | awk '
    /^[0-9a-f]+ <.*>:$/ {
      fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn)
      sub(/\.cold(\.[0-9]+)?$/, "", fn); next
    }
    {
      n = split($0, fld, "\t"); insn = fld[n]
      if (insn ~ /^(repz |rep |bnd )?ret[lw]?( |$)/) {
        imm = 0
        if (match(insn, /\$0x[0-9a-f]+/)) imm = substr(insn, RSTART + 1, RLENGTH - 1)
        print fn, imm
      }
    }')
  local name symbol address expected immediates imm bad
  for name in "${tab_names[@]}"; do
    symbol="_${name}@${tab_bytes[$name]}"
    address=$(awk -v s="$symbol" '$3 == s && ($2 == "T" || $2 == "t") { print $1; exit }' <<<"$symbols")
    if [ -z "$address" ]; then
      local others
      others=$(awk -v p="_${name}@" 'index($3, p) == 1 { printf " %s", $3 }' <<<"$symbols")
      export_problem "$name" "win32: no stdcall function $symbol (found:${others:- none}): the argument bytes differ from the table"
      continue
    fi
    local ordinal=${tab_ordinal[$name]}
    if [ -z "${eat_rva[$ordinal]+x}" ]; then
      continue  # already reported
    fi
    expected=$((16#$image_base + 16#${eat_rva[$ordinal]}))
    if [ $((16#$address)) -ne "$expected" ]; then
      export_problem "$name" "win32: $name is exported at $(printf '%x' "$expected"), but $symbol is at $address"
      continue
    fi
    immediates=$(awk -v s="$symbol" '$1 == s { print $2 }' <<<"$returns" | sort -u)
    bad=
    for imm in $immediates; do
      [ $((imm)) -eq "${tab_bytes[$name]}" ] || bad="$bad $((imm))"
    done
    if [ -n "$bad" ]; then
      export_problem "$name" "win32: $symbol returns removing$bad bytes, not ${tab_bytes[$name]}"
    elif [ -z "$immediates" ] && [ "${tab_bytes[$name]}" -ne 0 ]; then
      export_problem "$name" "win32: $symbol has no return that removes its ${tab_bytes[$name]} argument bytes"
    fi
  done
}

check_native() {
  local file=$native_so
  echo "== native: $file"
  if [ ! -f "$file" ]; then
    other_problem "native: $file missing (cmake --preset native && cmake --build build/native)"
    return
  fi
  declare -A defined=()
  local address type name
  while read -r address type name; do
    [ -n "$name" ] || continue
    name=${name%%@*}
    defined[$name]=$type
  done < <(nm -D --defined-only "$file")
  for name in "${tab_names[@]}"; do
    if [ -z "${defined[$name]+x}" ]; then
      export_problem "$name" "native: $name is not a defined dynamic symbol"
    elif [ "${defined[$name]}" != T ]; then
      export_problem "$name" "native: $name has symbol type ${defined[$name]}, not T (a global function)"
    fi
  done
  local extra allowed
  for name in "${!defined[@]}"; do
    [ -n "${tab_ordinal[$name]+x}" ] && continue
    allowed=
    for extra in "${native_allowed_extra[@]}"; do
      [ "$name" = "$extra" ] && allowed=1
    done
    [ -n "$allowed" ] || other_problem "native: defines $name (${defined[$name]}), which is not in $table"
  done
  echo "   ${#defined[@]} dynamic symbols defined"
}

products=("$@")
[ ${#products[@]} -gt 0 ] || products=(win32 win64 native)

if read_table; then
  for product in "${products[@]}"; do
    case "$product" in
      win32) check_dll win32 "$win32_dll" i686-w64-mingw32-objdump i686-w64-mingw32-nm pei-i386 ;;
      win64) check_dll win64 "$win64_dll" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-nm pei-x86-64 ;;
      native) check_native ;;
      *) other_problem "unknown product '$product' (win32, win64 or native)" ;;
    esac
  done
fi

summary="exports: ${#tab_names[@]} checked, ${#failed_export[@]} failed"
[ "$other_problems" -gt 0 ] && summary="$summary, $other_problems other problems"
echo "$summary (${products[*]})"
[ ${#failed_export[@]} -eq 0 ] && [ "$other_problems" -eq 0 ]
