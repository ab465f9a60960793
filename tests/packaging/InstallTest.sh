#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, then what a user of the installed
# programs meets: a probe and a split run from there, the desktop entry and the
# metadata as the desktop's own checkers read them, the manual pages, and the
# completion's entries. Usage: InstallTest.sh BUILD_FOLDER
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr
cmake --install "$build" --prefix "$prefix" >/dev/null
split=$prefix/bin/kelvane-split
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=(bin/kelvane-split share/kelvane/help.html share/man/man1/kelvane-split.1.gz
          share/bash-completion/completions/kelvane-split share/doc/kelvane/copyright)
if [ -x "$build/gui/kelvane" ]; then
  expected+=(bin/kelvane share/man/man1/kelvane.1.gz share/applications/com.orvath.kelvane.desktop
             share/metainfo/com.orvath.kelvane.metainfo.xml
             share/icons/hicolor/scalable/apps/com.orvath.kelvane.svg
             share/icons/hicolor/48x48/apps/com.orvath.kelvane.png)
fi
for file in "${expected[@]}"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done

echo "== the installed kelvane-split probes and splits a clip"
"$build/tools/kelvane-fixtures" --preset mp4-h264-aac --size 320x240 --seconds 3 "$work/clip.mp4"
"$split" --probe "$work/clip.mp4" | grep -q "^duration:  3.0" || fail "probe"
"$split" --start 1 --end 2 --output-dir "$work" --format "AVI - DivX Video (*.avi)" \
  "$work/clip.mp4" >"$work/split.log" 2>&1 || fail "split: $(cat "$work/split.log")"
"$split" --probe "$work/clip.avi" | grep -Eq "^duration:  1.0[0-9] s" || fail "the split's length"

if [ -x "$build/gui/kelvane" ]; then
  echo "== desktop entry and AppStream metadata"
  desktop-file-validate "$prefix/share/applications/com.orvath.kelvane.desktop"
  appstreamcli validate --no-net "$prefix/share/metainfo/com.orvath.kelvane.metainfo.xml" >/dev/null

  echo "== the installed window opens the clip and ends on SIGTERM"
  QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy "$prefix/bin/kelvane" "$work/clip.mp4" \
    >"$work/window.log" 2>&1 &
  window=$!
  sleep 3
  kill -TERM "$window"
  for _ in $(seq 50); do kill -0 "$window" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$window" 2>/dev/null && fail "the window goes on after SIGTERM"
  status=0
  wait "$window" || status=$?
  [ "$status" -eq 143 ] || fail "the window ended with $status: $(cat "$work/window.log")"
fi

echo "== manual pages: no warnings, every option of --help described"
for page in "$prefix"/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
page=$(zcat "$prefix/share/man/man1/kelvane-split.1.gz" | sed 's/\\-/-/g')
for option in $("$split" --help | grep -Eo -- '(^| )--?[a-z][a-z-]*' | sort -u); do
  grep -Eq -- "^\.B[IR]? (.* )?$option( |\"|\$)" <<<"$page" ||
    fail "kelvane-split.1 does not describe $option"
done

echo "== completion: formats and list entries from the program"
completions=$(PATH="$prefix/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1"
  complete_words() {
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    _kelvane_split kelvane-split "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  }
  complete_words kelvane-split --format "iPod\ T"
  complete_words kelvane-split --format "3GP\ -\ Mobile" --audio-codec ""
  complete_words kelvane-split --chan' _ "$prefix/share/bash-completion/completions/kelvane-split")
expected_completions='iPod\ Touch\ \(\*.mp4\)
libopencore_amrnb
--channels'
[ "$completions" = "$expected_completions" ] || fail "completions: $completions"
echo "all checks passed"
