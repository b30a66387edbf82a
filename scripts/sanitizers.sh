#!/usr/bin/env bash
# Sanitizer, fuzz and soak stages of the test command. Run one stage:
#   scripts/sanitizers.sh asan | tsan | fuzz [seconds, shared by the targets] | soak [seconds] | all
# or source this file and call the stage functions (sanitizer_asan, sanitizer_tsan, fuzz_all,
# soak_run). Build directories are $TARN_BUILD_ROOT-<stage> (scripts/build-env.sh).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
TARN_JOBS=${TARN_JOBS:-2}

sanitizer_configure() {  # build-dir sanitizers [extra cmake args]
    local dir=$1 sanitize=$2
    shift 2
    build_dir_ready "$dir"
    CC=clang CXX=clang++ cmake -S "$TARN_SOURCE" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARN_SANITIZE="$sanitize" "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$TARN_JOBS" 2>&1 | tail -n 3
    test "${PIPESTATUS[0]}" -eq 0
}

# TSan maps its shadow at fixed addresses; kernels with more mmap randomness than it expects
# make it die at start ("unexpected memory mapping"). Run without randomisation then.
tsan_launcher() {
    local probe=$1
    if "$probe" --gtest_list_tests >/dev/null 2>&1; then
        return 0
    fi
    echo "setarch $(uname -m) -R"
}

sanitizer_asan() {
    local dir=$TARN_BUILD_ROOT-asan
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer ($dir)"
    sanitizer_configure "$dir" "address;undefined"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$dir" -j"$TARN_JOBS" --output-on-failure
}

sanitizer_tsan() {
    local dir=$TARN_BUILD_ROOT-tsan
    echo "== ThreadSanitizer ($dir)"
    sanitizer_configure "$dir" "thread"
    local launcher
    launcher=$(tsan_launcher "$dir/tests/tarn_tests")
    [ -n "$launcher" ] && echo "TSan needs $launcher on this kernel"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$TARN_SOURCE/scripts/tsan.supp" \
        $launcher ctest --test-dir "$dir" -j"$TARN_JOBS" --output-on-failure
}

# The fuzz targets share the given seconds equally, so a new target does not make the stage
# longer; each runs from its seed corpus (copied, so the tree is not written). A crash leaves
# its input in the work directory and fails the stage.
fuzz_all() {
    local total=${1:-60}
    local dir=$TARN_BUILD_ROOT-fuzz
    sanitizer_configure "$dir" "" -DTARN_BUILD_FUZZERS=ON -DTARN_BUILD_TESTS=OFF \
        -DTARN_BUILD_COLLECTOR=ON
    local targets=("$dir"/fuzz/fuzz_*)
    local seconds=$((total / ${#targets[@]} > 0 ? total / ${#targets[@]} : 1))
    echo "== libFuzzer, $total s shared by ${#targets[@]} targets, $seconds s each ($dir)"
    local work
    work=$(mktemp -d /tmp/tarn-fuzz.XXXXXX)
    local failed=0 target name
    for target in "${targets[@]}"; do
        [ -x "$target" ] || continue
        name=${target##*/fuzz_}
        mkdir -p "$work/$name"
        local seeds=$TARN_SOURCE/fuzz/corpus/$name
        [ -d "$seeds" ] && cp -r "$seeds/." "$work/$name/"
        if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=70000 \
            -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" \
            >"$work/$name.log" 2>&1; then
            echo "fuzz $name: $(grep -E '^stat::number_of_executed_units' "$work/$name.log" |
                awk '{print $2}') executions, no crash"
        else
            echo "fuzz $name: FAILED (inputs in $work/$name-*)"
            tail -n 40 "$work/$name.log"
            failed=1
        fi
    done
    [ "$failed" -eq 0 ] && rm -rf "$work"
    return "$failed"
}

soak_run() {
    local seconds=${1:-120}
    # The Linux stage's tree: the same build, so after that stage nothing is compiled again.
    local dir=$TARN_BUILD_ROOT-linux
    echo "== fault-injection soak, $seconds s ($dir)"
    build_dir_ready "$dir"
    cmake -S "$TARN_SOURCE" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$TARN_JOBS" --target tarn_tests 2>&1 | tail -n 3
    test "${PIPESTATUS[0]}" -eq 0
    # The soak cases are disabled in the normal run. Past the soak itself the run drains the
    # queue, which may first wait out a back-off; the limit leaves room for that.
    TARN_SOAK_SECONDS=$seconds timeout $((seconds + 180)) "$dir/tests/tarn_tests" \
        --gtest_filter='Soak*:*/Soak*' --gtest_also_run_disabled_tests
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    stage=${1:-all}
    shift || true
    case $stage in
        asan) sanitizer_asan ;;
        tsan) sanitizer_tsan ;;
        fuzz) fuzz_all "$@" ;;
        soak) soak_run "$@" ;;
        all) sanitizer_asan && sanitizer_tsan && fuzz_all "$@" && soak_run ;;
        *) echo "usage: $0 asan|tsan|fuzz [seconds]|soak [seconds]|all" >&2; exit 2 ;;
    esac
fi
