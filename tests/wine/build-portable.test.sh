#!/usr/bin/env bash
# BUILD_PORTABLE.cmd under Wine's cmd.exe, with a test double of powershell.exe on the search
# path: the command it runs, its texts and its exit codes.
# ctest-lock: wine
# ctest-fixtures: wine_prefix
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/checks.sh"

scratch="$wine_release/test/wine-build-portable"
rm -rf "$scratch"
mkdir -p "$scratch/elsewhere"

version=$(product_version)

wine_prefix_ensure "$WINEPREFIX"
wine_reset
powershell_double_install

# make_tree NAME: a source tree folder holding the command file; prints its path.
make_tree() {
    local tree="$scratch/$1"
    mkdir -p "$tree/scripts"
    cp "$wine_root/BUILD_PORTABLE.cmd" "$tree/"
    printf 'Set-StrictMode -Version Latest\r\n' >"$tree/scripts/package-portable.ps1"
    echo "$tree"
}

# run TREE EXITCODE NAME: runs the command file from another folder; sets out, rc, record.
run() {
    record="$scratch/$3.record"
    out="$scratch/$3.out"
    export TARNQUILL_TEST_PS_RECORD
    TARNQUILL_TEST_PS_RECORD=$(wine_path "$record")
    export TARNQUILL_TEST_PS_EXIT="$2"
    export TARNQUILL_TEST_PS_SAY="$(wine_path "$1")\\release\\TARNQUILL"
    rc=$(cd "$scratch/elsewhere" && cmd_run "$out" "$1/BUILD_PORTABLE.cmd")
}

for tree_name in "portable tree's copy" "portable tree!"; do
    tree=$(make_tree "$tree_name")
    tree_win=$(wine_path "$tree")
    echo "== [$tree_name] build succeeds"
    run "$tree" 0 success
    check_eq "exit code" 0 "$rc"
    line=$(powershell_record "$record" commandline || echo '<none>')
    expected=" -NoLogo -NoProfile -ExecutionPolicy Bypass -File \"$tree_win\\scripts\\package-portable.ps1\""
    if [[ "$line" == *"$expected" ]]; then
        echo "ok: runs package-portable.ps1 with -File and no further arguments"
    else
        fail "command line [$line]"
    fi
    check_eq "works in the tree root" "$tree_win" \
        "$(powershell_record "$record" directory | sed 's/\\$//')"
    has_line "banner" "$out" "TARNQUILL $version - Windows portable build"
    has_line "script output shown" "$out" "$tree_win\\release\\TARNQUILL"
    has_line "ready line" "$out" "Ready: $tree_win\\release\\TARNQUILL\\TARNQUILL.exe"
    has_line "keep-together line" "$out" \
        "Keep the ENTIRE TARNQUILL folder together. Do not copy the EXE alone."
    lacks_text "no failure text" "$out" "Build failed."
    if [ "$(line_number "$out" "$tree_win\\release\\TARNQUILL")" -lt \
        "$(line_number "$out" "Ready: $tree_win\\release\\TARNQUILL\\TARNQUILL.exe")" ]; then
        echo "ok: ready line after the script's output"
    else
        fail "ready line before the script's output"
    fi
done

tree="$scratch/portable tree's copy"
for code in 1 2 255; do
    echo "== build fails with code $code"
    run "$tree" "$code" "failure-$code"
    check_eq "exit code" 1 "$rc"
    has_line "failure line" "$out" "Build failed. Keep the error message above."
    lacks_text "no ready line" "$out" "Ready:"
    lacks_text "no keep-together line" "$out" "Keep the ENTIRE"
done

for code in 0 1; do
    echo "== the window stays open until a key is pressed (code $code)"
    export TARNQUILL_TEST_PS_EXIT="$code"
    cd "$scratch/elsewhere"
    cmd_run_held "$scratch/held-$code.out" "$tree/BUILD_PORTABLE.cmd"
    cd "$wine_root"
    check_eq "still waiting without a key" yes "$CMD_HELD"
    check_eq "exit code after the key" "$code" "$CMD_RC"
done

checks_finish "portable build command"
