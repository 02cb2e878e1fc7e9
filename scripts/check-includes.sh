#!/usr/bin/env bash
# Checks the layering of the source folders. Reads the table "which folder
# may include which" from ARCHITECTURE.md (the rows between the markers
# include-table-begin and include-table-end) and prints every project
# #include "folder/file" that the table does not allow. Also prints every
# platform test (_WIN32, __linux__, ...) in a preprocessor line outside the
# *_posix / *_win32 twin files, every file-scope lock that ARCHITECTURE.md
# does not name, and every source file of a layer that its platform-seam
# table does not place. tests/, bench/ and soak/ are left out: test programs
# reach into every layer and carry their own platform code. Exit 1 when
# anything was printed.
set -eu
cd "$(dirname "$0")/.."

declare -A allowed=()
folders=()
inTable=0
while IFS= read -r line; do
    case "$line" in
        *include-table-begin*) inTable=1; continue ;;
        *include-table-end*) inTable=0; continue ;;
    esac
    [ "$inTable" = 1 ] || continue
    # | `folder/` | holds | `base/`, `log/` |  (the last column lists what it may include)
    [[ "$line" =~ ^\|\ \`([a-z]+)/\`\ \| ]] || continue
    folder="${BASH_REMATCH[1]}"
    last="${line%|}"
    last="${last##*|}"
    list=" "
    for word in $(printf '%s' "$last" | grep -o '`[a-z]*/`' | tr -d '`/'); do list+="$word "; done
    allowed[$folder]="$list"
    folders+=("$folder")
done < ARCHITECTURE.md

if [ "${#folders[@]}" = 0 ]; then
    echo "check-includes: no include table found in ARCHITECTURE.md" >&2
    exit 1
fi

bad=0
for folder in "${folders[@]}"; do
    [ -d "$folder" ] || continue
    while IFS= read -r file; do
        while IFS=: read -r number text; do
            target="${text#*\"}"
            target="${target%%\"*}"
            case "$target" in */*) ;; *) continue ;; esac
            into="${target%%/*}"
            [ "$into" = "$folder" ] && continue
            if [[ "${allowed[$folder]}" != *" $into "* ]]; then
                echo "$file:$number: #include \"$target\": $folder/ may not include $into/"
                bad=1
            fi
        done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
        case "$file" in *_posix.* | *_win32.*) continue ;; esac
        while IFS=: read -r number text; do
            echo "$file:$number: platform test outside the twin files: $text"
            bad=1
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)\b.*\b(_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|_MSC_VER|__linux__|__unix__|__APPLE__|_POSIX_VERSION)\b' "$file" || true)
    done < <(git ls-files "$folder" | grep -E '\.(c|cc|cpp|h|hpp)$' || true)
done

# A source folder missing from the table is a new layer nobody placed.
for dir in */; do
    dir="${dir%/}"
    case "$dir" in build | tests | bench | soak | docs | scripts | cmake | packaging | run) continue ;; esac
    if git ls-files "$dir" | grep -qE '\.(cpp|h)$' && [ -z "${allowed[$dir]+x}" ]; then
        echo "$dir/: source folder not in the include table of ARCHITECTURE.md"
        bad=1
    fi
done

# The shared-state list names every lock that lives at file scope: a lock
# nobody listed is shared state nobody described (the fuzz doubles aside).
for folder in "${folders[@]}"; do
    [ -d "$folder" ] || continue
    case "$folder" in tools | fuzz) continue ;; esac
    while IFS=: read -r file number text; do
        name=$(printf '%s' "$text" | sed -E 's/.*(mutex|condition_variable)&?[[:space:]]+([A-Za-z_][A-Za-z0-9_]*).*/\2/')
        if ! grep -q "\`$name\`" ARCHITECTURE.md; then
            echo "$file:$number: lock $name is not named in ARCHITECTURE.md"
            bad=1
        fi
    done < <(git ls-files "$folder" | grep -E '\.(cpp|h)$' | xargs -r grep -nE '^(static |extern )?std::(mutex|shared_mutex|condition_variable)&? [A-Za-z_]' /dev/null || true)
done

# The platform-seam table names every source file of the layers (a twin as
# name_*), so a new file gets placed in it.
for folder in "${folders[@]}"; do
    [ -d "$folder" ] || continue
    case "$folder" in tools | fuzz) continue ;; esac
    while IFS= read -r file; do
        base=$(basename "$file")
        stem="${base%.*}"
        twin="${stem%_posix}"
        twin="${twin%_win32}"
        case "$base" in *.h) continue ;; esac
        if ! grep -qE "\`($base|${twin}_\*)\`" ARCHITECTURE.md; then
            echo "$file: not named in the platform-seam table of ARCHITECTURE.md"
            bad=1
        fi
    done < <(git ls-files "$folder" | grep -E '\.cpp$' || true)
done

if [ "$bad" = 0 ]; then echo "check-includes: every include follows the table, every lock and source file is placed"; fi
exit "$bad"
