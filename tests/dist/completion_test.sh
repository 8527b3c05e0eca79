#!/usr/bin/env bash
# The shell completions offer the options, then documents: the folders and
# the files whose extension the program's registry reads, in either case,
# including an extension only a plug-in's registration adds; the second
# argument (the output) is any file.  bash and fish are driven for real; zsh's
# completion functions are stood in for, to see what the script asks of them.
# Usage: completion_test.sh BUILD_DIR SHARE_DIR SCRATCH
# Exit status 77 (skipped) when bash-completion is missing.
set -uo pipefail
build=$1 share=$2 scratch=$3
bash_completion=/usr/share/bash-completion/bash_completion
[[ -f $bash_completion ]] || { echo "skipped: bash-completion is missing"; exit 77; }

rm -rf "$scratch"
mkdir -p "$scratch/docs/sub" "$scratch/docs/my dir" "$scratch/data/quarn/registry"
cd "$scratch/docs" || exit 1
touch a.pdf B.PDF c.Docx "e f.odt" notes.xyz jar.cookie sub/inner.rtf
# A plug-in's registration: ".cookie" files get a filter.
cat >"$scratch/data/quarn/registry/cookie.reg" <<'REG'
REGEDIT4
[HKEY_LOCAL_MACHINE\Software\Classes\.cookie\PersistentHandler]
@="{0F0E7A11-0000-4000-8000-0000000000A1}"
[HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{0F0E7A11-0000-4000-8000-0000000000A1}\PersistentAddinsRegistered\{89BCB740-6119-101A-BCB7-00DD010655AF}]
@="{0F0E7A11-0000-4000-8000-000000000001}"
REG
export PATH="$build/bin:$PATH" XDG_DATA_DIRS="$scratch/data"
documents='B.PDF|a.pdf|c.Docx|e f.odt|jar.cookie|my dir|sub'
everything='B.PDF|a.pdf|c.Docx|e f.odt|jar.cookie|my dir|notes.xyz|sub'
options=$("$build/bin/quarn" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u | paste -sd'|')
status=0
check() { # check WHAT GOT WANT
  if [[ $2 != "$3" ]]; then
    echo "FAIL: $1"
    echo "  got:  $2"
    echo "  want: $3"
    status=1
  fi
}

# bash: the completion function itself, as bash-completion calls it.
bash_complete() {
  bash --norc --noprofile -c '
    source "$1"; source "$2"; shift 2
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _quarn quarn "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" "$share/bash-completion/completions/quarn" "$@" |
    sed 's:/$::' | LC_ALL=C sort | paste -sd'|'
}
check "bash: first argument" "$(bash_complete quarn '')" "$documents"
check "bash: options" "$(bash_complete quarn --)" "$options"
check "bash: --batch takes documents" "$(bash_complete quarn --batch a.pdf '')" "$documents"
check "bash: after --, no options" "$(bash_complete quarn -- --)" ""
check "bash: the output is any file" "$(bash_complete quarn a.pdf '')" "$everything"
check "bash: inside a folder" "$(bash_complete quarn sub/)" "sub/inner.rtf"

# fish: its own completion engine, reading the installed script.
if command -v fish >/dev/null; then
  fish_complete() {
    fish --no-config -c "source '$share/fish/vendor_completions.d/quarn.fish'; complete -C '$1'" |
      cut -f1 | sed 's:/$::' | LC_ALL=C sort | paste -sd'|'
  }
  check "fish: first argument" "$(fish_complete 'quarn ')" "$documents"
  check "fish: options" "$(fish_complete 'quarn --')" "$options"
  check "fish: --batch takes documents" "$(fish_complete 'quarn --batch a.pdf ')" "$documents"
  check "fish: the output is any file" "$(fish_complete 'quarn a.pdf ')" "$everything"
  check "fish: nothing after the output" "$(fish_complete 'quarn a.pdf b.txt ')" ""
else
  echo "note: fish is missing, its completion is not checked"
fi

# zsh: _files and _describe stood in for; the glob _files gets is expanded
# here to see which files it takes.
if command -v zsh >/dev/null; then
  zsh_complete() {
    zsh -f -c '
      _files() { [[ $1 == -g ]] && { setopt localoptions extendedglob nullglob; print -rl -- ${~2} } || print -rl -- * }
      _describe() { print -rl -- ${options%%:*} }
      _call_program() { shift; "$@" }
      _message() { }
      source "$1" >/dev/null; shift
      words=("$@"); CURRENT=$#words; PREFIX=$words[-1]
      _quarn' _ "$share/zsh/site-functions/_quarn" "$@" | LC_ALL=C sort | paste -sd'|'
  }
  # _files adds the folders itself; the glob names the documents.
  check "zsh: first argument" "$(zsh_complete quarn '')" "B.PDF|a.pdf|c.Docx|e f.odt|jar.cookie"
  check "zsh: options" "$(zsh_complete quarn --)" "$options"
  check "zsh: --batch takes documents" "$(zsh_complete quarn --batch a.pdf '')" "B.PDF|a.pdf|c.Docx|e f.odt|jar.cookie"
  check "zsh: the output is any file" "$(zsh_complete quarn a.pdf '')" "$everything"
else
  echo "note: zsh is missing, its completion is not checked"
fi

((status == 0)) && echo "completions agree"
exit $status
