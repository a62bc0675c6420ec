#!/usr/bin/env bash
# The operator's guides (docs/operator-guide.zh-CN.md and its English twin
# docs/operator-guide.md) quote the panel and tell operators what to type. This
# test fails, naming file, line and what rotted, when:
#  - a linked file (a screenshot above all) is missing, or a guide no longer
#    shows one of the four page screenshots, or README.md no longer starts by
#    pointing operators to both guides;
#  - a panel text quoted in 「」 is not, exactly (blanks included), a text of
#    the form (ui/mainwindow.ui), a string of app/ or a message of scripts/;
#  - an object name in `code` (camelCase, e.g. `lineEditPower`) is not an
#    object of the form; an INI key in `code` is not one app/ reads and writes,
#    or a key app/ uses is not described; a QT_LOGGING_RULES category is not
#    one app/ declares;
#  - a command in the troubleshooting section (every `code` span of its tables
#    and every line of its sh blocks) has no row in the section's table of
#    commands and packages, or that row names a package that does not provide
#    the command on this Debian (dpkg) or that apt does not know;
#  - the two guides differ in structure: headings (number and levels), table
#    row counts, the panel texts, object names and commands they cite, and the
#    command-to-package rows.
# Usage: test_guide.sh [build folder]   (the build folder is not needed)
set -uo pipefail
export LC_ALL=C.UTF-8

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 1
form=ui/mainwindow.ui
zh=docs/operator-guide.zh-CN.md
en=docs/operator-guide.md
troubleshooting='^## .*(故障排除|Troubleshooting)'

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for f in "$zh" "$en" "$form" README.md; do
    [ -f "$f" ] || { echo "FAIL: $f is missing" >&2; exit 1; }
done
shopt -s nullglob
# The panel: its own sources and the controller library it reads files and the line with.
app_sources=(app/*.cpp app/*.h controller/*/*.cpp controller/*/*.h)
scripts=(scripts/*.sh)
[ "${#app_sources[@]}" -gt 0 ] || { echo "FAIL: no sources in app/" >&2; exit 1; }

# The guide without its fenced code blocks (blank lines instead, so line
# numbers stay): headings, tables and quotes are read from this.
prose() {
    awk '/^[[:space:]]*```/ { fence = !fence; print ""; next } { print fence ? "" : $0 }' "$1"
}

# Lines of the troubleshooting section (up to the next level-2 heading) as
# "lineno<TAB>text", fenced blocks blanked.
trouble_prose() {
    prose "$1" | awk -v re="$troubleshooting" '
        /^## / { inside = ($0 ~ re) }
        inside { print NR "\t" $0 }'
}

# Lines inside ```sh blocks of the troubleshooting section, "lineno<TAB>text".
trouble_sh_lines() {
    awk -v re="$troubleshooting" '
        /^[[:space:]]*```/ {
            if (!fence) { fence = 1; sh = ($0 ~ /```sh[[:space:]]*$/) } else { fence = 0; sh = 0 }
            next
        }
        !fence && /^## / { inside = ($0 ~ re) }
        fence && sh && inside { print NR "\t" $0 }' "$1"
}

# `code` spans of a line, one per line, with Markdown table escapes undone.
code_spans() {
    grep -o '`[^`]*`' <<<"$1" | sed -e 's/^`//' -e 's/`$//' -e 's/\\|/|/g'
}

# The commands a shell command line runs: the first word of each pipeline
# part, after variable assignments; sudo counts as a command of its own.
commands_of() {
    local line="$1" part word
    line="${line//&&/;}"
    line="${line//||/;}"
    line="${line//|/;}"
    local IFS=';'
    for part in $line; do
        IFS=$' \t'
        set -f
        # shellcheck disable=SC2086
        set -- $part
        set +f
        while [ $# -gt 0 ]; do
            word="$1"
            shift
            case "$word" in
                [A-Za-z_]*=*) continue ;;
                sudo) echo sudo; continue ;;
                '#'*) break ;;
                *) echo "$word"; break ;;
            esac
        done
    done
}

# ---------------------------------------------------------------- links
check_links() {
    local guide="$1" dir n target
    dir="$(dirname "$guide")"
    while IFS=: read -r n rest; do
        while read -r target; do
            target="${target#](}"
            target="${target%)}"
            target="${target%% *}"
            case "$target" in
                http://* | https://* | mailto:* | '#'* | '') continue ;;
            esac
            target="${target%%#*}"
            [ -e "$dir/$target" ] || fail "$guide:$n: links $target, which does not exist"
        done < <(grep -o '](\([^)]*\))' <<<"$rest")
    done < <(prose "$guide" | grep -n '](')
    local shot text
    text="$(prose "$guide")"
    for shot in 1-serial 2-device 3-light 4-factory; do
        grep -qF "](screenshots/$shot.png)" <<<"$text" ||
            fail "$guide: no longer shows the screenshot screenshots/$shot.png of its page"
    done
}

# ---------------------------------------------------------------- panel texts
xml_escape() {
    local s="$1"
    s="${s//&/&amp;}"
    s="${s//</&lt;}"
    s="${s//>/&gt;}"
    printf '%s' "$s"
}

# Each distinct text and name is looked up once.
declare -A text_found=() name_found=()

panel_text_exists() {
    local text="$1" found=no
    if [ -z "${text_found[$text]+set}" ]; then
        if grep -qF -- "<string>$(xml_escape "$text")</string>" "$form" ||
            grep -qF -- "\"$text\"" "${app_sources[@]}" ||
            { [ "${#scripts[@]}" -gt 0 ] && grep -qF -- "$text" "${scripts[@]}"; }; then
            found=yes
        fi
        text_found[$text]=$found
    fi
    [ "${text_found[$text]}" = yes ]
}

form_has_object() {
    if [ -z "${name_found[$1]+set}" ]; then
        if grep -qF -- "name=\"$1\"" "$form"; then name_found[$1]=yes; else name_found[$1]=no; fi
    fi
    [ "${name_found[$1]}" = yes ]
}

# Quoted panel texts of a guide, "lineno<TAB>text" (an empty 「」 names the
# quoting convention and quotes nothing).
quoted_texts() {
    prose "$1" | grep -no '「[^」]\+」' | sed -e 's/^\([0-9]*\):「/\1\t/' -e 's/」$//'
}

check_quotes() {
    local guide="$1" n text
    while read -r n; do
        fail "$guide:$n: 「 and 」 do not pair on this line (a quote must not span lines)"
    done < <(prose "$guide" | awk '{ if (gsub(/「/, "&") != gsub(/」/, "&")) print NR }')
    while IFS=$'\t' read -r n text; do
        panel_text_exists "$text" ||
            fail "$guide:$n: quotes the panel text 「$text」, which is in neither $form, app/ nor scripts/ (changed, or blanks differ?)"
    done < <(quoted_texts "$guide")
}

# ---------------------------------------------------------------- names, keys, categories
object_names() {
    prose "$1" | grep -no '`[^`]*`' | tr -d '`' | sed 's/:/\t/' | grep -E $'^[0-9]+\t[a-z][a-z0-9]*[A-Z_][A-Za-z0-9_]*$'
}

check_names() {
    local guide="$1" n name key category declared
    while IFS=$'\t' read -r n name; do
        form_has_object "$name" ||
            fail "$guide:$n: names the object \`$name\`, which $form does not have"
    done < <(object_names "$guide")

    while IFS=: read -r n key; do
        grep -qF -- "\"$key\"" "${app_sources[@]}" ||
            fail "$guide:$n: describes the INI key $key, which the panel does not use"
    done < <(grep -no '`Config[A-Z][A-Za-z]*`' "$guide" | tr -d '`')
    while IFS= read -r key; do
        grep -qF -- "\`$key\`" "$guide" || fail "$guide: does not describe the INI key $key that the panel writes and reads"
    done < <(grep -ho '"Config[A-Z][A-Za-z]*"' "${app_sources[@]}" | tr -d '"' | sort -u)

    while IFS=: read -r n category; do
        category="${category#QT_LOGGING_RULES=\"}"
        category="${category%.debug=true\"}"
        declared="$(grep -hF -- "\"$category\"" "${app_sources[@]}")"
        grep -q 'Q_LOGGING_CATEGORY' <<<"$declared" ||
            fail "$guide:$n: traces the logging category $category, which app/ does not declare"
    done < <(grep -no 'QT_LOGGING_RULES="[^"]*\.debug=true"' "$guide")
}

# ---------------------------------------------------------------- troubleshooting commands
# "command package" rows of the troubleshooting section's table whose first
# header cell is 命令 or Command.
package_rows() {
    trouble_prose "$1" | cut -f2- | awk -F'|' '
        /^\|/ {
            if (!intable) { intable = 1; first = $2; gsub(/^[ \t]+|[ \t]+$/, "", first); mapping = (first == "命令" || first == "Command"); next }
            if ($0 ~ /^\|[ :|-]+$/) next
            if (mapping) {
                cmd = $2; pkg = $3
                gsub(/[` \t]/, "", cmd); gsub(/^[ \t]+|[ \t]+$/, "", pkg)
                print cmd " " pkg
            }
            next
        }
        { intable = 0; mapping = 0 }'
}

# Commands of the troubleshooting section, "lineno<TAB>command".
trouble_commands() {
    local n text span
    while IFS=$'\t' read -r n text; do
        case "$text" in
            '|'*) ;;
            *) continue ;;
        esac
        while IFS= read -r span; do
            commands_of "$span" | while IFS= read -r c; do printf '%s\t%s\n' "$n" "$c"; done
        done < <(code_spans "$text")
    done < <(trouble_prose "$1")
    while IFS=$'\t' read -r n text; do
        commands_of "$text" | while IFS= read -r c; do printf '%s\t%s\n' "$n" "$c"; done
    done < <(trouble_sh_lines "$1")
}

apt_lists_present() {
    compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null
}

# Where an installed command's file may be registered with dpkg (merged /usr:
# /usr/bin/x may be registered as /bin/x), one path per line.
command_paths() {
    local path
    path="$(command -v "$1")"
    case "$path" in /*) ;; *) return 0 ;; esac
    printf '%s\n' "$path" "$(readlink -f "$path")" "/bin/$1" "/usr/bin/$1" "/sbin/$1" "/usr/sbin/$1"
}

check_commands() {
    local guide="$1" n cmd pkg owner rows used path
    rows="$(package_rows "$guide")"
    [ -n "$rows" ] || fail "$guide: the troubleshooting section has no table of commands and their packages"
    used="$(trouble_commands "$guide")"
    [ -n "$used" ] || fail "$guide: no commands found in the troubleshooting section"
    while IFS=$'\t' read -r n cmd; do
        [ -n "$cmd" ] || continue
        pkg="$(awk -v c="$cmd" '$1 == c { print $2; exit }' <<<"$rows")"
        if [ -z "$pkg" ]; then
            fail "$guide:$n: the command $cmd has no row in the troubleshooting section's table of commands and packages"
        fi
    done <<<"$used"

    # One dpkg query for every installed command: "package: path" lines.
    local -a paths=()
    while read -r cmd pkg; do
        [ -n "$cmd" ] || continue
        while IFS= read -r path; do
            [ -e "$path" ] && paths+=("$path")
        done < <(command_paths "$cmd")
    done <<<"$rows"
    local owners=""
    if [ "${#paths[@]}" -gt 0 ]; then
        owners="$(dpkg -S "${paths[@]}" 2>/dev/null | grep -v '^diversion')"
    fi

    while read -r cmd pkg; do
        [ -n "$cmd" ] || continue
        if command -v "$cmd" >/dev/null 2>&1; then
            owner=""
            while IFS= read -r path; do
                owner="$(awk -v p="$path" '{ q = $0; sub(/^[^:]*(:[a-z0-9]+)?: /, "", q) } q == p { sub(/[:,].*/, ""); print; exit }' <<<"$owners")"
                [ -n "$owner" ] && break
            done < <(command_paths "$cmd")
            if [ -n "$owner" ] && [ "$owner" != "$pkg" ]; then
                fail "$guide: says $cmd is in the package $pkg, but here it comes from $owner"
            fi
        elif apt_lists_present; then
            apt-cache show "$pkg" >/dev/null 2>&1 ||
                fail "$guide: names the package $pkg for $cmd, which is not installed here and which apt does not know"
        else
            echo "note: $cmd is not installed and apt has no package lists; the package $pkg named for it is not verified" >&2
        fi
    done <<<"$rows"
}

# ---------------------------------------------------------------- structure
heading_levels() {
    prose "$1" | grep -o '^#\{1,6\} ' | tr -d ' ' | awk '{ print length($0) }'
}

table_row_counts() {
    prose "$1" | awk '
        /^\|/ { if ($0 !~ /^\|[ :|-]+$/) rows++; next }
        rows { print rows; rows = 0 }
        END { if (rows) print rows }'
}

compare() {
    local what="$1" a="$2" b="$3"
    if [ "$a" != "$b" ]; then
        fail "the two guides differ in $what ($zh < > $en):"
        diff <(printf '%s\n' "$a") <(printf '%s\n' "$b") | grep '^[<>]' | head -n 20 >&2
    fi
}

check_twins() {
    local zh_levels en_levels
    zh_levels="$(heading_levels "$zh")"
    en_levels="$(heading_levels "$en")"
    [ -n "$zh_levels" ] || fail "$zh: has no headings"
    compare "headings (number and levels, in order)" "$zh_levels" "$en_levels"
    compare "table row counts (table by table, in order)" "$(table_row_counts "$zh")" "$(table_row_counts "$en")"
    compare "the panel texts they quote" "$(quoted_texts "$zh" | cut -f2 | sort -u)" "$(quoted_texts "$en" | cut -f2 | sort -u)"
    compare "the object names they cite" "$(object_names "$zh" | cut -f2 | sort -u)" "$(object_names "$en" | cut -f2 | sort -u)"
    compare "the troubleshooting commands" "$(trouble_commands "$zh" | cut -f2 | sort -u)" "$(trouble_commands "$en" | cut -f2 | sort -u)"
    compare "the commands and packages table" "$(package_rows "$zh" | sort)" "$(package_rows "$en" | sort)"
}

# ---------------------------------------------------------------- README
check_readme() {
    local top
    top="$(head -n 5 README.md)"
    grep -qF "($zh)" <<<"$top" || fail "README.md: its first lines no longer point operators to $zh"
    grep -qF "($en)" <<<"$top" || fail "README.md: its first lines no longer point operators to $en"
}

for guide in "$zh" "$en"; do
    check_links "$guide"
    check_quotes "$guide"
    check_names "$guide"
    check_commands "$guide"
done
check_twins
check_readme

if [ "$failures" -gt 0 ]; then
    echo "test_guide: $failures problem(s) in the operator's guides" >&2
    exit 1
fi
echo "test_guide: both guides match the panel, their screenshots exist, their commands exist on Debian 12"
