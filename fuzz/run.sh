#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, from its checked-in seeds plus a scratch
# corpus, with its own dictionary (TARGET.dict) or else qern.dict. Fails on any crash,
# sanitizer report, leak, timeout or failed property.
set -euo pipefail
bin=$1
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
work=${QERN_FUZZ_WORK:-$here/corpus-work}
status=0
for target in merge_fuzzer validate_fuzzer literals_fuzzer schema_fuzzer syntax_fuzzer \
    format_fuzzer typed_fuzzer lsp_fuzzer; do
    mkdir -p "$work/$target"
    dict=$here/qern.dict
    [ -f "$here/$target.dict" ] && dict=$here/$target.dict
    log="$work/$target.log"
    echo "fuzz: $target for ${seconds}s"
    if "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -dict="$dict" -artifact_prefix="$work/$target-" \
        -print_final_stats=1 "$work/$target" "$here/corpus/$target" >"$log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
        speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
        echo "fuzz: $target ok: $runs executions, $speed per second"
    else
        echo "fuzz: $target FAILED; the log's end:"
        tail -n 40 "$log"
        status=1
    fi
done
exit $status
