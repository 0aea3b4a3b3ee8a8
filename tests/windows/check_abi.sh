#!/usr/bin/env bash
# Static check of the built products against the export table
# src/exports/exports.tab (ordinal, name, argument bytes). The 32-bit DLL cannot
# run on these machines, so everything here is read from the files.
#
#   win32   build/win32: TARVELIN.DLL has exactly the table's names at exactly
#           their ordinals (ordinal base 1, as many slots as the highest ordinal,
#           the empty slots empty, no other names), the module name, imports
#           from system DLLs only, the version resource, and for each export the
#           stdcall function Name@bytes at the exported address whose every
#           return removes exactly that many argument bytes; the import
#           libraries libtarvelin.dll.a (mingw) and TARVELIN.lib (MSVC) define
#           each export's decorated symbol and its __imp_ pointer and nothing
#           else; the host programs linked against them (tarvelin_client.exe,
#           tarvelin_client_msvc.exe) import every export from TARVELIN.DLL by
#           its undecorated name with its ordinal as hint;
#   win64   build/win64: the same, without the stdcall checks;
#   native  build/native/libtarvelin.so: exactly the table's names as defined
#           dynamic functions, nothing else.
#
#   tests/windows/check_abi.sh [win32|win64|native]...   (default: all three)
#
# Folders and files can be overridden with TARVELIN_WIN32_DIR, TARVELIN_WIN64_DIR,
# TARVELIN_SO and TARVELIN_EXPORT_TABLE. Prints one FAIL line per difference and
# ends with "exports checked: N, failures: N"; exits nonzero on any difference,
# a missing product or tool included.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

table=${TARVELIN_EXPORT_TABLE:-src/exports/exports.tab}
win32_dir=${TARVELIN_WIN32_DIR:-build/win32}
win64_dir=${TARVELIN_WIN64_DIR:-build/win64}
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
exports_checked=0
max_ordinal=0

# A difference that concerns one export of one product: "$1" is "product:name".
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
    # After the argument bytes comes the declaration the bindings are written from.
    if ! [[ "$ordinal" =~ ^[0-9]+$ && "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ && "$bytes" =~ ^[0-9]+$ ]] ||
      ! [[ -z "$rest" || "$rest" =~ ^[a-z] ]]; then
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

# The version the products carry: the project's, from the top CMakeLists.txt.
project_version() {
  sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt | head -n 1
}

find_tool() {
  local candidate
  for candidate in "$@"; do
    command -v "$candidate" >/dev/null && { command -v "$candidate"; return 0; }
  done
  return 1
}

# objdump -p, reduced to records: BASE n, DLLNAME name, SLOTS hex,
# EAT ordinal rva kind, NAME ordinal name, IMPORT dll, IMPORTNAME dll hint name.
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
    /DLL Name:/ { dll = $NF; print "IMPORT", dll; next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+/ { print "IMPORTNAME", dll, $2, $3; next }
    /^ *$/ { dll = "" }
  '
}

check_dll() {
  local label=$1 dir=$2 objdump=$3 nm=$4 windres=$5 format=$6
  local file=$dir/TARVELIN.DLL
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
  exports_checked=$((exports_checked + ${#tab_names[@]}))

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
  if [ -z "$slots" ] || [ $((16#$slots)) -ne "$max_ordinal" ]; then
    other_problem "$label: export address table has $((16#${slots:-0})) slots, not $max_ordinal (the highest ordinal)"
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
      export_problem "$label:$name" "$label: $name is not exported by name"
    elif [ "${name_ordinal[$name]}" != "$ordinal" ]; then
      export_problem "$label:$name" "$label: $name is exported at ordinal ${name_ordinal[$name]}, not $ordinal"
    elif [ -z "${eat_rva[$ordinal]+x}" ]; then
      export_problem "$label:$name" "$label: ordinal $ordinal ($name) has no address"
    elif [ "${eat_kind[$ordinal]}" != Export ]; then
      export_problem "$label:$name" "$label: ordinal $ordinal ($name) is a ${eat_kind[$ordinal]}, not code in the DLL"
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
  while read -r kind dll _; do
    [ "$kind" = IMPORT ] || continue
    imports+=("$dll")
    allowed_import "$dll" ||
      other_problem "$label: imports $dll, which is not a system DLL (link its code statically)"
  done <<<"$records"
  echo "   imports: ${imports[*]:-none}"
  echo "   ${#name_ordinal[@]} names, $((16#${slots:-0})) slots, ordinal base $base"
  # No TLS directory: a reader thread that leaves after an unload must find
  # nothing of the DLL for the loader to tear down.
  local tls
  tls=$("$objdump" -p "$file" | awk '/^Entry 9 / { print $3 }')
  if [ -z "$tls" ]; then
    other_problem "$label: no data directory entry for thread storage in the image"
  elif [ "$((16#$tls))" -ne 0 ]; then
    other_problem "$label: the DLL has a TLS directory ($tls bytes)"
  else
    echo "   no TLS directory"
  fi

  [ "$label" = win32 ] && check_stdcall "$file" "$objdump" "$nm"
  check_version "$label" "$file" "$windres"
  if [ -f "$dir/tarvelin.exe" ]; then
    check_version "$label" "$dir/tarvelin.exe" "$windres" tarvelin.exe
  else
    other_problem "$label: $dir/tarvelin.exe missing"
  fi
  check_mingw_implib "$label" "$dir/libtarvelin.dll.a" "$nm"
  check_msvc_implib "$label" "$dir/TARVELIN.lib"
  local client
  for client in tarvelin_client.exe tarvelin_client_msvc.exe; do
    check_client "$label" "$dir/$client" "$objdump"
  done
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
  # Per function (".cold" pieces folded into their function): "function ret immediate"
  # for each return, "function jmp target" for each jump (conditional or not) into
  # another function.
  local flow
  flow=$("$objdump" -d --no-show-raw-insn "$file" | awk '
    /^[0-9a-f]+ <.*>:$/ {
      fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn)
      sub(/\.cold(\.[0-9]+)?$/, "", fn); next
    }
    {
      n = split($0, fld, "\t"); insn = fld[n]
      if (insn ~ /^(repz |rep |bnd )?ret[lw]?( |$)/) {
        imm = 0
        if (match(insn, /\$0x[0-9a-f]+/)) imm = substr(insn, RSTART + 1, RLENGTH - 1)
        print fn, "ret", imm
      } else if (insn ~ /^j[a-z]+ +[0-9a-f]+ <[^>+]+>$/) {
        target = insn; sub(/^.*</, "", target); sub(/>$/, "", target)
        sub(/\.cold(\.[0-9]+)?$/, "", target)
        if (target != fn) print fn, "jmp", target
      }
    }')
  local name symbol address expected immediates imm bad returns=0
  for name in "${tab_names[@]}"; do
    symbol="_${name}@${tab_bytes[$name]}"
    address=$(awk -v s="$symbol" '$3 == s && ($2 == "T" || $2 == "t") { print $1; exit }' <<<"$symbols")
    if [ -z "$address" ]; then
      local others
      others=$(awk -v p="_${name}@" 'index($3, p) == 1 { printf " %s", $3 }' <<<"$symbols")
      export_problem "win32:$name" "win32: no stdcall function $symbol (found:${others:- none}): the argument bytes differ from the table"
      continue
    fi
    local ordinal=${tab_ordinal[$name]}
    [ -n "${eat_rva[$ordinal]+x}" ] || continue  # already reported
    expected=$((16#$image_base + 16#${eat_rva[$ordinal]}))
    if [ $((16#$address)) -ne "$expected" ]; then
      export_problem "win32:$name" "win32: $name is exported at $(printf '%x' "$expected"), but $symbol is at $address"
      continue
    fi
    # A tail jump hands the caller's frame to another function, whose returns
    # then remove the arguments: they are followed, and count as this export's.
    immediates=$(awk -v s="$symbol" '
      $2 == "ret" { rets[$1] = rets[$1] " " $3 }
      $2 == "jmp" { jumps[$1] = jumps[$1] " " $3 }
      END {
        todo[1] = s; n = 1; seen[s] = 1
        while (n > 0) {
          f = todo[n--]
          k = split(rets[f], r, " "); for (i = 1; i <= k; i++) print r[i]
          k = split(jumps[f], j, " ")
          for (i = 1; i <= k; i++) if (!(j[i] in seen)) { seen[j[i]] = 1; todo[++n] = j[i] }
        }
      }' <<<"$flow")
    bad=
    for imm in $immediates; do
      returns=$((returns + 1))
      [ $((imm)) -eq "${tab_bytes[$name]}" ] || bad="$bad $((imm))"
    done
    if [ -n "$bad" ]; then
      export_problem "win32:$name" "win32: $symbol has returns removing$bad bytes, not ${tab_bytes[$name]}"
    elif [ -z "$immediates" ]; then
      export_problem "win32:$name" "win32: $symbol has no return instruction to check"
    fi
  done
  echo "   stdcall: $returns return instructions of the ${#tab_names[@]} exports checked"
}

# The holder of the LICENSE's copyright line, which the version resources name.
license_copyright() {
  grep -m 1 -E '^Copyright \(c\) [0-9]+ ' LICENSE
}

# The version resource, as windres reads it back from the DLL or tarvelin.exe
# ($4: the file name it must give, default TARVELIN.DLL).
check_version() {
  local label=$1 file=$2 windres=$3 original=${4:-TARVELIN.DLL} version
  version=$(project_version)
  if [ -z "$version" ]; then
    other_problem "$label: no project version in CMakeLists.txt to compare the version resource with"
    return
  fi
  if ! command -v "$windres" >/dev/null; then
    other_problem "$label: $windres not installed (Debian package binutils-mingw-w64)"
    return
  fi
  local rc
  rc=$("$windres" -i "$file" -O rc 2>&1) || {
    other_problem "$label: $file has no readable resources: $rc"
    return
  }
  local major minor patch
  IFS=. read -r major minor patch <<<"$version"
  local numbers="$major, $minor, ${patch:-0}, 0"
  grep -Eq "^ *FILEVERSION $numbers\$" <<<"$rc" ||
    other_problem "$label: version resource FILEVERSION is '$(grep -E '^ *FILEVERSION' <<<"$rc" | sed 's/^ *FILEVERSION //')', not $numbers"
  grep -Eq "^ *PRODUCTVERSION $numbers\$" <<<"$rc" ||
    other_problem "$label: version resource PRODUCTVERSION is '$(grep -E '^ *PRODUCTVERSION' <<<"$rc" | sed 's/^ *PRODUCTVERSION //')', not $numbers"
  local key want
  local copyright
  copyright=$(license_copyright)
  local keys=(FileVersion:$version ProductVersion:$version OriginalFilename:$original "LegalCopyright:$copyright"
    "CompanyName:${copyright#Copyright (c) [0-9][0-9][0-9][0-9] }")
  [ "$original" = TARVELIN.DLL ] && keys+=(InternalName:TARVELIN.DLL)
  for key in "${keys[@]}"; do
    want=${key#*:}
    key=${key%%:*}
    grep -Fq "VALUE \"$key\", \"$want\"" <<<"$rc" ||
      other_problem "$label: version resource $key is '$(grep -F "VALUE \"$key\"" <<<"$rc" | sed 's/.*", //')', not \"$want\""
  done
  local description
  description=$(grep -F 'VALUE "FileDescription"' <<<"$rc" | sed 's/.*", "//; s/"$//')
  [ -n "$description" ] || other_problem "$label: version resource has no FileDescription"
  echo "   version resource of $original: $version ($numbers), \"$description\", $copyright"
}

# The expected symbols of the import libraries: the reference a stdcall caller
# makes (_PortOpen@4 on i686, PortOpen on x64) and its import pointer.
expected_symbols() {
  local label=$1 name
  for name in "${tab_names[@]}"; do
    if [ "$label" = win32 ]; then
      echo "_${name}@${tab_bytes[$name]} __imp__${name}@${tab_bytes[$name]}"
    else
      echo "$name __imp_$name"
    fi
  done
}

# libtarvelin.dll.a: one thunk (T) and one import pointer (I) per export,
# nothing else beyond dlltool's own head and name symbols.
check_mingw_implib() {
  local label=$1 file=$2 nm=$3
  if [ ! -f "$file" ]; then
    other_problem "$label: $file missing"
    return
  fi
  declare -A defined=()
  local address type symbol
  while read -r address type symbol; do
    [ -n "$symbol" ] || continue
    case "$type" in T | I) defined[$symbol]=$type ;; esac
  done < <("$nm" "$file" 2>/dev/null)
  local thunk pointer name i=0 missing=0
  while read -r thunk pointer; do
    name=${tab_names[$i]}
    i=$((i + 1))
    if [ "${defined[$thunk]:-}" != T ] || [ "${defined[$pointer]:-}" != I ]; then
      export_problem "$label:$name" "$label: $file lacks $thunk or $pointer"
      missing=$((missing + 1))
    fi
    unset "defined[$thunk]" "defined[$pointer]"
  done < <(expected_symbols "$label")
  for symbol in "${!defined[@]}"; do
    case "$symbol" in _head_* | __head_* | *_iname) continue ;; esac
    other_problem "$label: $file also defines $symbol, which no export of $table accounts for"
  done
  echo "   libtarvelin.dll.a: $((i - missing)) of $i exports with thunk and import pointer"
}

# TARVELIN.lib: one short import member per export, with the decorated symbol,
# its import pointer, and (i686) the name type that strips the decoration.
check_msvc_implib() {
  local label=$1 file=$2
  if [ ! -f "$file" ]; then
    other_problem "$label: $file missing (llvm-dlltool not installed? Debian package llvm)"
    return
  fi
  local readobj
  readobj=$(find_tool llvm-readobj llvm-readobj-16 llvm-readobj-15 llvm-readobj-14) || {
    other_problem "$label: llvm-readobj not installed (Debian package llvm)"
    return
  }
  # One line per import member: "name-type symbol symbol".
  local members
  members=$("$readobj" "$file" 2>&1 | awk '
    /^Format: COFF-import-file/ { if (n) print line; n = 1; line = ""; next }
    n && /^Name type:/ { sub(/^Name type: */, ""); line = $0 " " line; next }
    n && /^Symbol:/ { line = line " " $2; next }
    END { if (n) print line }')
  local want_type=name
  [ "$label" = win32 ] && want_type=undecorate
  declare -A member_of=()
  local type rest
  while read -r type rest; do
    [ -n "$type" ] || continue
    member_of[$rest]=$type
  done <<<"$members"
  local thunk pointer name i=0 good=0 key
  while read -r thunk pointer; do
    name=${tab_names[$i]}
    i=$((i + 1))
    key=
    [ -n "${member_of["$pointer $thunk"]+x}" ] && key="$pointer $thunk"
    [ -n "${member_of["$thunk $pointer"]+x}" ] && key="$thunk $pointer"
    if [ -z "$key" ]; then
      export_problem "$label:$name" "$label: $file has no import member for $thunk and $pointer"
    elif [ "${member_of[$key]}" != "$want_type" ]; then
      export_problem "$label:$name" "$label: $file imports $thunk with name type '${member_of[$key]}', not '$want_type'"
      unset "member_of[$key]"
    else
      good=$((good + 1))
      unset "member_of[$key]"
    fi
  done < <(expected_symbols "$label")
  for key in "${!member_of[@]}"; do
    other_problem "$label: $file has an import member ($key) that no export of $table accounts for"
  done
  echo "   TARVELIN.lib: $good of $i exports as short imports (name type $want_type)"
}

# A host program linked against an import library: it references every export,
# so its import table must name each one undecorated, with its ordinal as hint.
check_client() {
  local label=$1 file=$2 objdump=$3
  if [ ! -f "$file" ]; then
    other_problem "$label: $file missing (clang, lld or llvm not installed?)"
    return
  fi
  declare -A hint_of=()
  local kind dll hint name others=()
  while read -r kind dll hint name; do
    case "$kind" in
      IMPORT) [ "$dll" = TARVELIN.DLL ] || others+=("$dll") ;;
      IMPORTNAME) [ "$dll" = TARVELIN.DLL ] && hint_of[$name]=$hint ;;
    esac
  done < <(pe_records "$objdump" "$file")
  local bound=0
  for name in "${tab_names[@]}"; do
    if [ -z "${hint_of[$name]+x}" ]; then
      export_problem "$label:$name" "$label: $(basename "$file") does not import $name from TARVELIN.DLL by that name"
    elif [ "${hint_of[$name]}" != "${tab_ordinal[$name]}" ]; then
      export_problem "$label:$name" "$label: $(basename "$file") imports $name with hint ${hint_of[$name]}, not its ordinal ${tab_ordinal[$name]}"
    else
      bound=$((bound + 1))
    fi
    unset "hint_of[$name]"
  done
  for name in "${!hint_of[@]}"; do
    other_problem "$label: $(basename "$file") imports '$name' from TARVELIN.DLL, which is not an export (a decorated name?)"
  done
  for dll in "${others[@]}"; do
    allowed_import "$dll" || other_problem "$label: $(basename "$file") imports $dll, which is not a system DLL"
  done
  echo "   $(basename "$file"): $bound of ${#tab_names[@]} exports imported by name; also ${others[*]:-nothing}"
}

check_native() {
  local file=$native_so
  echo "== native: $file"
  if [ ! -f "$file" ]; then
    other_problem "native: $file missing (cmake --preset native && cmake --build build/native)"
    return
  fi
  exports_checked=$((exports_checked + ${#tab_names[@]}))
  declare -A defined=()
  local address type name
  while read -r address type name; do
    [ -n "$name" ] || continue
    name=${name%%@*}
    defined[$name]=$type
  done < <(nm -D --defined-only "$file")
  for name in "${tab_names[@]}"; do
    if [ -z "${defined[$name]+x}" ]; then
      export_problem "native:$name" "native: $name is not a defined dynamic symbol"
    elif [ "${defined[$name]}" != T ]; then
      export_problem "native:$name" "native: $name has symbol type ${defined[$name]}, not T (a global function)"
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
      win32)
        check_dll win32 "$win32_dir" i686-w64-mingw32-objdump i686-w64-mingw32-nm i686-w64-mingw32-windres pei-i386
        ;;
      win64)
        check_dll win64 "$win64_dir" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-nm x86_64-w64-mingw32-windres \
          pei-x86-64
        ;;
      native) check_native ;;
      *) other_problem "unknown product '$product' (win32, win64 or native)" ;;
    esac
  done
fi

failures=$((${#failed_export[@]} + other_problems))
echo "ABI (${products[*]}): exports checked: $exports_checked, failures: $failures"
[ "$failures" -eq 0 ]
