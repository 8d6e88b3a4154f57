#!/usr/bin/env bash
# End-to-end figures of morvex-cli, each beside its ceiling from the same run: encryption against the
# in-memory cipher speed, decryption against dd bs=1M conv=fsync of the same bytes, the tool's peak
# memory on a large file, many files and --jobs (once the tool has --jobs), and (with --speed) the
# same file through openssl and gpg. Every file lives in a fresh directory under ${TMPDIR:-/tmp}.
#
#   bench/end-to-end.sh [--speed] [--build-dir DIR] [--size-mib N] [--memory-mib N] [--runs N]
#                       [--decrypt-mib "N ..."]
#
#   --speed            also time openssl and gpg against morvex-cli on a 512 MiB file
#   --build-dir DIR    use the binaries already built in DIR instead of building the dev preset
#   --size-mib N       size of the file for the cipher comparison (default 256)
#   --memory-mib N     size of the file for the peak memory (default 1024)
#   --runs N           runs of each paired case, alternating with its ceiling; medians (default 3)
#   --decrypt-mib "N"  sizes for decryption against dd (default "256 1024")
set -euo pipefail
export LC_ALL=C  # numbers with a decimal point, whatever the caller's locale

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=""
speed=0
size_mib=256
memory_mib=1024
runs=3
decrypt_mib="256 1024"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --speed) speed=1 ;;
        --build-dir) build_dir=$2; shift ;;
        --size-mib) size_mib=$2; shift ;;
        --memory-mib) memory_mib=$2; shift ;;
        --runs) runs=$2; shift ;;
        --decrypt-mib) decrypt_mib=$2; shift ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        *) echo "end-to-end.sh: unknown argument '$1'" >&2; exit 1 ;;
    esac
    shift
done

if [[ -z "$build_dir" ]]; then
    cd "$root"
    cmake --preset dev
    # The machine is shared: two compile jobs at most unless told otherwise.
    cmake --build --preset dev -j "${MORVEX_BUILD_JOBS:-2}"
    build_dir="$root/build/dev"
fi
cli="$build_dir/cli/morvex-cli"
bench="$build_dir/bench/morvex-bench"
for tool in "$cli" "$bench" /usr/bin/time jq; do
    command -v "$tool" >/dev/null || { echo "end-to-end.sh: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-e2e-XXXXXX")
trap 'rm -rf "$work"' EXIT
# Private copies, so that a rebuild in the same tree during the run cannot touch what is measured.
cp "$cli" "$bench" "$work/"
cli="$work/morvex-cli"
bench="$work/morvex-bench"
pass="$work/passphrase"
printf 'benchmark passphrase\n' >"$pass"

# Runs a command and leaves its wall-clock seconds in $wall_seconds and its processor seconds (user +
# system, all threads) in $cpu_seconds. On a shared machine the processor time is the steadier one.
wall_seconds=0
cpu_seconds=0
timed() {
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null
    local user sys
    read -r wall_seconds user sys <"$work/time"
    cpu_seconds=$(echo "$user + $sys" | bc)
}

mib_per_s() { echo "scale=1; $1 / $2" | bc; }

# $1 / $2 with a leading zero, rounded to $3 decimals (default 2).
quotient() { printf "%.${3:-2}f" "$(echo "scale=6; $1 / $2" | bc)"; }

# Wall-clock seconds of a command, to the millisecond, in $seconds; its output is dropped.
seconds=0
clocked() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    seconds=$(printf '%.3f' "$(echo "$EPOCHREALTIME - $start" | bc)")
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "%.3f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Deleting a large file frees its blocks at the next journal commit, and this file system may discard
# them then: sync before a timed run, so that no run pays for the one before it.
settle() { rm -f "$@"; sync; }

echo "Processor: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) logical CPUs"
echo "Load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min averages at the start)"
echo "Compiler:  $(c++ --version | head -1)"
echo "Disk:      $work on $(df --output=source,fstype "$work" | tail -1 | tr -s ' ')"
echo

echo "== In-memory cipher figures (morvex-bench) =="
# Medians of five repetitions: one run of a fraction of a second moved by 5 to 10 per cent from
# run to run, as much as the margin the encryption is judged by.
"$bench" --benchmark_filter='Cbc(En|De)crypt/morvex/' --benchmark_format=json \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$work/bench.json" --benchmark_out_format=json >/dev/null
jq -r '.benchmarks[] | select(.aggregate_name == "median")
    | "\(.name)  \(.bytes_per_second / 1048576 | floor) MiB/s"' "$work/bench.json"
echo

# The cipher's median in-memory rate in MiB/s for one direction (Encrypt or Decrypt) and one cipher
# (a pattern matched against the benchmark's name, case-insensitive).
cipher_rate() {
    jq -r --arg dir "$1" --arg cipher "$2" \
        '[.benchmarks[] | select((.name | test("Cbc" + $dir + "crypt/morvex/")) and (.name | test($cipher; "i")))
          | select(.aggregate_name == "median") | .bytes_per_second] | max // empty | . / 1048576' "$work/bench.json"
}

# The encryption rate of one cipher (3des or idea) in MiB/s from one run of its benchmark, now.
cipher_rate_now() {
    "$bench" --benchmark_filter="CbcEncrypt/morvex/$1/" --benchmark_format=json 2>/dev/null |
        jq -r '[.benchmarks[] | .bytes_per_second] | max // empty | . / 1048576'
}

echo "== End to end: a ${size_mib} MiB random file =="
head -c "$((size_mib * 1048576))" /dev/urandom >"$work/data"
printf '%-6s %-8s %8s %8s %10s %10s %13s %11s %10s\n' cipher job 'wall s' 'cpu s' 'wall MiB/s' \
    'cpu MiB/s' 'cipher MiB/s' 'wall ratio' 'cpu ratio'
verdict=0
for cipher in 3des idea; do
    pattern=$([[ $cipher == 3des ]] && echo '3des|tripledes|3-des|ede3' || echo 'idea')
    for job in encrypt decrypt; do
        rm -f "$work/data.enc.out"
        crate=""
        if [[ $job == encrypt ]]; then
            # The machine's speed drifts by more than the 5 % this is judged by within minutes:
            # each run is paired with a run of the cipher's benchmark right after it; medians.
            walls=(); cpus=(); rates=()
            for ((run = 1; run <= runs; run++)); do
                rm -f "$work/data.enc"
                timed "$cli" encrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/data"
                walls+=("$wall_seconds"); cpus+=("$cpu_seconds")
                rates+=("$(cipher_rate_now "$cipher")")
            done
            t=$(median "${walls[@]}")
            cpu_seconds=$(median "${cpus[@]}")
            [[ -n "${rates[*]// /}" ]] && crate=$(median "${rates[@]}")
            dir=En
        else
            mv "$work/data" "$work/data.orig"
            timed "$cli" decrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/data.enc"
            t=$wall_seconds
            cmp -s "$work/data" "$work/data.orig" || { echo "round trip differs for $cipher" >&2; exit 1; }
            rm -f "$work/data"; mv "$work/data.orig" "$work/data"
            dir=De
        fi
        rate=$(mib_per_s "$size_mib" "$t")
        cpu_rate=$(mib_per_s "$size_mib" "$cpu_seconds")
        [[ $job == decrypt ]] && crate=$(cipher_rate "$dir" "$pattern")
        if [[ -n "$crate" ]]; then
            ratio=$(quotient "$crate" "$rate")
            cpu_ratio=$(quotient "$crate" "$cpu_rate")
            [[ $job == encrypt ]] && (( $(echo "$ratio > 1.05" | bc) )) && verdict=1
            printf '%-6s %-8s %8s %8s %10s %10s %13.1f %11s %10s\n' "$cipher" "$job" "$t" "$cpu_seconds" \
                "$rate" "$cpu_rate" "$crate" "$ratio" "$cpu_ratio"
        else
            printf '%-6s %-8s %8s %8s %10s %10s %13s %11s %10s\n' "$cipher" "$job" "$t" "$cpu_seconds" \
                "$rate" "$cpu_rate" '(none)' '-' '-'
        fi
    done
    rm -f "$work/data.enc"
done
echo "Target: encryption's wall time within 1.05x of the cipher time (medians of ${runs}, each run beside one of the cipher's): $([[ $verdict == 0 ]] && echo met || echo NOT met)"
echo "(decryption is judged against dd below: the cipher is not what bounds it)"
echo "Load:      $(cut -d' ' -f1-3 /proc/loadavg) (at the end of the comparison)"
echo

echo "== Decryption against dd bs=1M conv=fsync of the same bytes, ${runs} runs each, alternating =="
# Both read the container from the page cache (it was just written and is read once more first) and
# write to the same file system; each pair runs in turn, the order swapped from run to run.
printf '%-6s %8s %13s %10s %8s  %s\n' cipher MiB 'morvex-cli s' 'dd s' ratio 'runs (morvex-cli / dd)'
verdict=0
for mib in $decrypt_mib; do
    head -c "$((mib * 1048576))" /dev/urandom >"$work/dec"
    for cipher in 3des idea; do
        rm -f "$work/dec.enc"
        "$cli" encrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/dec"
        mv "$work/dec" "$work/dec.orig"
        cat "$work/dec.enc" >/dev/null
        ours=()
        theirs=()
        for ((run = 1; run <= runs; run++)); do
            for who in $( ((run % 2)) && echo "morvex dd" || echo "dd morvex"); do
                settle "$work/dec" "$work/dec.dd"
                if [[ $who == morvex ]]; then
                    clocked "$cli" decrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/dec.enc"
                    ours+=("$seconds")
                    if ((run == 1)); then
                        cmp -s "$work/dec" "$work/dec.orig" || { echo "round trip differs for $cipher" >&2; exit 1; }
                    fi
                else
                    clocked dd if="$work/dec.enc" of="$work/dec.dd" bs=1M conv=fsync status=none
                    theirs+=("$seconds")
                fi
            done
        done
        m=$(median "${ours[@]}")
        d=$(median "${theirs[@]}")
        ratio=$(quotient "$m" "$d")
        (( $(echo "$ratio > 1.2" | bc) )) && verdict=1
        printf '%-6s %8s %13s %10s %8s  %s / %s\n' "$cipher" "$mib" "$m" "$d" "$ratio" "${ours[*]}" "${theirs[*]}"
        settle "$work/dec" "$work/dec.dd" "$work/dec.enc"
        mv "$work/dec.orig" "$work/dec"
    done
    rm -f "$work/dec"
done
echo "Target: decryption within 1.2x of dd: $([[ $verdict == 0 ]] && echo met || echo NOT met)"
echo "Load:      $(cut -d' ' -f1-3 /proc/loadavg) (at the end of the comparison)"
echo
echo "== Peak memory: a ${memory_mib} MiB file =="
rm -f "$work/data" "$work/data.enc"
head -c "$((memory_mib * 1048576))" /dev/urandom >"$work/big"
for cipher in 3des idea; do
    for job in encrypt decrypt; do
        if [[ $job == encrypt ]]; then
            rm -f "$work/big.enc"
            input="$work/big"
        else
            mv "$work/big" "$work/big.orig"
            input="$work/big.enc"
        fi
        kib=$( { /usr/bin/time -f %M "$cli" "$job" --cipher "$cipher" --quiet --passphrase-file "$pass" \
                 "$input" >/dev/null; } 2>&1 | tail -1 )
        if [[ $job == decrypt ]]; then
            rm -f "$work/big"; mv "$work/big.orig" "$work/big"
        fi
        printf '%-6s %-8s peak %6d KiB (%s MiB) %s\n' "$cipher" "$job" "$kib" "$(echo "scale=1; $kib / 1024" | bc)" \
            "$([[ $kib -lt 32768 ]] && echo 'below 32 MiB' || echo 'NOT below 32 MiB')"
    done
    rm -f "$work/big.enc"
done
rm -f "$work/big"
echo

echo "== Many files and --jobs =="
if ! "$cli" --help 2>&1 | grep -q -- '--jobs'; then
    echo "skipped: this morvex-cli has no --jobs"
    echo
else
    # 1,000 files of 1 KiB in one call against dd conv=fsync, one process per file, on the same files.
    mkdir "$work/many"
    for ((i = 0; i < 1000; i++)); do
        head -c 1024 /dev/urandom >"$work/many/f$i"
    done
    files=("$work"/many/f*)
    ours=()
    theirs=()
    for ((run = 1; run <= runs; run++)); do
        rm -f "$work"/many/*.enc "$work"/many/*.dd
        sync
        clocked "$cli" encrypt --cipher idea --quiet --passphrase-file "$pass" "${files[@]}"
        ours+=("$seconds")
        clocked bash -c 'for f; do dd if="$f" of="$f.dd" bs=1M conv=fsync status=none; done' dd "${files[@]}"
        theirs+=("$seconds")
    done
    m=$(median "${ours[@]}")
    d=$(median "${theirs[@]}")
    ratio=$(quotient "$m" "$d")
    printf '1,000 files of 1 KiB, idea encryption: morvex-cli %s s, dd %s s, ratio %s (target at most 1.5): %s\n' \
        "$m" "$d" "$ratio" "$( (( $(echo "$ratio <= 1.5" | bc) )) && echo met || echo NOT met)"
    echo "  runs: ${ours[*]} / ${theirs[*]}"
    rm -rf "$work/many"

    # 8 files of 64 MiB, 3DES encryption, --jobs 2 against --jobs 1.
    mkdir "$work/eight"
    for ((i = 0; i < 8; i++)); do
        head -c $((64 * 1048576)) /dev/urandom >"$work/eight/f$i"
    done
    one=()
    two=()
    for ((run = 1; run <= runs; run++)); do
        for jobs in $( ((run % 2)) && echo "1 2" || echo "2 1"); do
            settle "$work"/eight/*.enc
            clocked "$cli" encrypt --cipher 3des --jobs "$jobs" --quiet --passphrase-file "$pass" "$work"/eight/f?
            if [[ $jobs == 1 ]]; then one+=("$seconds"); else two+=("$seconds"); fi
        done
    done
    j1=$(median "${one[@]}")
    j2=$(median "${two[@]}")
    speedup=$(quotient "$j1" "$j2")
    printf '8 files of 64 MiB, 3des encryption: --jobs 1 %s s, --jobs 2 %s s, speed-up %s (target at least 1.8): %s\n' \
        "$j1" "$j2" "$speedup" "$( (( $(echo "$speedup >= 1.8" | bc) )) && echo met || echo NOT met)"
    echo "  runs: ${one[*]} / ${two[*]}"
    rm -rf "$work/eight"

    # Peak memory of one process running two jobs at once, on two 1 GiB files.
    mkdir "$work/two"
    head -c 1073741824 /dev/urandom >"$work/two/a"
    head -c 1073741824 /dev/urandom >"$work/two/b"
    for job in encrypt decrypt; do
        if [[ $job == encrypt ]]; then
            inputs=("$work/two/a" "$work/two/b")
        else
            mkdir "$work/two/orig"
            mv "$work/two/a" "$work/two/b" "$work/two/orig/"
            inputs=("$work/two/a.enc" "$work/two/b.enc")
        fi
        kib=$( { /usr/bin/time -f %M "$cli" "$job" --cipher idea --jobs 2 --quiet --passphrase-file "$pass" \
                 "${inputs[@]}" >/dev/null; } 2>&1 | tail -1 )
        printf 'idea   %-8s --jobs 2, two 1 GiB files: peak %6d KiB (%s MiB) %s\n' "$job" "$kib" \
            "$(echo "scale=1; $kib / 1024" | bc)" "$([[ $kib -lt 32768 ]] && echo 'below 32 MiB' || echo 'NOT below 32 MiB')"
    done
    rm -rf "$work/two"
    echo
fi
if [[ $speed == 1 ]]; then
    echo "== Speed: morvex-cli, openssl and gpg on one 512 MiB file =="
    export GNUPGHOME="$work/gnupg"
    mkdir -m 700 "$GNUPGHOME"
    head -c 536870912 /dev/urandom >"$work/s"
    printf '%-28s %9s %9s %10s %9s %9s %10s\n' tool 'enc wall' 'enc cpu' 'enc MiB/s' 'dec wall' 'dec cpu' \
        'dec MiB/s'
    # tool, encryption wall and cpu seconds, decryption wall and cpu seconds; rates from wall time.
    row() {
        printf '%-28s %9s %9s %10s %9s %9s %10s\n' "$1" "$2" "$3" "$(mib_per_s 512 "$2")" "$4" "$5" \
            "$(mib_per_s 512 "$4")"
    }
    for cipher in 3des idea; do
        rm -f "$work/s.enc"
        timed "$cli" encrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/s"
        e=$wall_seconds
        ec=$cpu_seconds
        mv "$work/s" "$work/s.orig"
        timed "$cli" decrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/s.enc"
        d=$wall_seconds
        dc=$cpu_seconds
        cmp -s "$work/s" "$work/s.orig" || { echo "morvex-cli round trip differs" >&2; exit 1; }
        rm -f "$work/s" "$work/s.enc"; mv "$work/s.orig" "$work/s"
        row "morvex-cli $cipher" "$e" "$ec" "$d" "$dc"
    done
    timed openssl enc -des-ede3-cbc -pbkdf2 -pass "file:$pass" -in "$work/s" -out "$work/s.ossl"
    e=$wall_seconds
    ec=$cpu_seconds
    timed openssl enc -d -des-ede3-cbc -pbkdf2 -pass "file:$pass" -in "$work/s.ossl" -out "$work/s.back"
    d=$wall_seconds
    dc=$cpu_seconds
    cmp -s "$work/s" "$work/s.back" || { echo "openssl round trip differs" >&2; exit 1; }
    rm -f "$work/s.ossl" "$work/s.back"
    row "openssl enc -des-ede3-cbc" "$e" "$ec" "$d" "$dc"
    if openssl enc -provider legacy -provider default -idea-cbc -pbkdf2 -pass pass:x </dev/null >/dev/null 2>&1; then
        timed openssl enc -provider legacy -provider default -idea-cbc -pbkdf2 -pass "file:$pass" \
            -in "$work/s" -out "$work/s.ossl"
        e=$wall_seconds
        ec=$cpu_seconds
        timed openssl enc -d -provider legacy -provider default -idea-cbc -pbkdf2 -pass "file:$pass" \
            -in "$work/s.ossl" -out "$work/s.back"
        d=$wall_seconds
        dc=$cpu_seconds
        rm -f "$work/s.ossl" "$work/s.back"
        row "openssl enc -idea-cbc" "$e" "$ec" "$d" "$dc"
    else
        echo "openssl enc -idea-cbc: not offered by this OpenSSL"
    fi
    for algo in 3DES IDEA; do
        gpg_common=(--batch --yes --quiet --pinentry-mode loopback --passphrase-file "$pass")
        timed gpg "${gpg_common[@]}" --symmetric --cipher-algo "$algo" --compress-algo none \
            -o "$work/s.gpg" "$work/s"
        e=$wall_seconds
        ec=$cpu_seconds
        timed gpg "${gpg_common[@]}" --decrypt -o "$work/s.back" "$work/s.gpg"
        d=$wall_seconds
        dc=$cpu_seconds
        cmp -s "$work/s" "$work/s.back" || { echo "gpg round trip differs" >&2; exit 1; }
        rm -f "$work/s.gpg" "$work/s.back"
        row "gpg --cipher-algo $algo" "$e" "$ec" "$d" "$dc"
    done
fi
