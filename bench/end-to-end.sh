#!/usr/bin/env bash
# End-to-end figures of morvex-cli: how close a whole file job comes to the in-memory cipher speed,
# the tool's peak memory on a large file, and (with --speed) the same file through openssl and gpg.
#
#   bench/end-to-end.sh [--speed] [--build-dir DIR] [--size-mib N]
#
#   --speed          also time openssl and gpg against morvex-cli on a 512 MiB file
#   --build-dir DIR  use the binaries already built in DIR instead of building the dev preset
#   --size-mib N     size of the file for the cipher comparison (default 256)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=""
speed=0
size_mib=256
while [[ $# -gt 0 ]]; do
    case "$1" in
        --speed) speed=1 ;;
        --build-dir) build_dir=$2; shift ;;
        --size-mib) size_mib=$2; shift ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
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
pass="$work/passphrase"
printf 'benchmark passphrase\n' >"$pass"

# Seconds, with nanoseconds, that a command takes.
seconds_of() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000000" | bc
}

mib_per_s() { echo "scale=1; $1 / $2" | bc; }

echo "Processor: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) logical CPUs"
echo "Compiler:  $(c++ --version | head -1)"
echo

echo "== In-memory cipher figures (morvex-bench) =="
"$bench" --benchmark_filter='Cbc(En|De)crypt/morvex/' --benchmark_format=json \
    --benchmark_out="$work/bench.json" --benchmark_out_format=json >/dev/null
jq -r '.benchmarks[] | "\(.name)  \(.bytes_per_second / 1048576 | floor) MiB/s"' "$work/bench.json"
echo

# The cipher's best in-memory rate in MiB/s for one direction (Encrypt or Decrypt) and one cipher
# (a pattern matched against the benchmark's name, case-insensitive).
cipher_rate() {
    jq -r --arg dir "$1" --arg cipher "$2" \
        '[.benchmarks[] | select((.name | test("Cbc" + $dir + "crypt/morvex/")) and (.name | test($cipher; "i")))
          | .bytes_per_second] | max // empty | . / 1048576' "$work/bench.json"
}

echo "== End to end: a ${size_mib} MiB random file =="
head -c "$((size_mib * 1048576))" /dev/urandom >"$work/data"
printf '%-6s %-8s %10s %12s %14s %10s\n' cipher job seconds 'MiB/s' 'cipher MiB/s' 'time ratio'
verdict=0
for cipher in 3des idea; do
    pattern=$([[ $cipher == 3des ]] && echo '3des|tripledes|3-des|ede3' || echo 'idea')
    for job in encrypt decrypt; do
        rm -f "$work/data.enc.out"
        if [[ $job == encrypt ]]; then
            rm -f "$work/data.enc"
            t=$(seconds_of "$cli" encrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/data")
            dir=En
        else
            mv "$work/data" "$work/data.orig"
            t=$(seconds_of "$cli" decrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/data.enc")
            cmp -s "$work/data" "$work/data.orig" || { echo "round trip differs for $cipher" >&2; exit 1; }
            rm -f "$work/data"; mv "$work/data.orig" "$work/data"
            dir=De
        fi
        rate=$(mib_per_s "$size_mib" "$t")
        crate=$(cipher_rate "$dir" "$pattern")
        if [[ -n "$crate" ]]; then
            ratio=$(echo "scale=2; $crate / $rate" | bc)
            (( $(echo "$ratio > 1.15" | bc) )) && verdict=1
            printf '%-6s %-8s %10s %12s %14.1f %10s\n' "$cipher" "$job" "$t" "$rate" "$crate" "$ratio"
        else
            printf '%-6s %-8s %10s %12s %14s %10s\n' "$cipher" "$job" "$t" "$rate" '(none)' '-'
        fi
    done
    rm -f "$work/data.enc"
done
echo "Target: end-to-end time within 1.15x of the cipher time: $([[ $verdict == 0 ]] && echo met || echo NOT met)"
echo

echo "== Peak memory: a 1 GiB file =="
rm -f "$work/data" "$work/data.enc"
head -c 1073741824 /dev/urandom >"$work/big"
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

if [[ $speed == 1 ]]; then
    echo "== Speed: morvex-cli, openssl and gpg on one 512 MiB file =="
    export GNUPGHOME="$work/gnupg"
    mkdir -m 700 "$GNUPGHOME"
    head -c 536870912 /dev/urandom >"$work/s"
    printf '%-32s %10s %10s %10s %10s\n' tool 'enc s' 'enc MiB/s' 'dec s' 'dec MiB/s'
    row() {
        printf '%-32s %10s %10s %10s %10s\n' "$1" "$2" "$(mib_per_s 512 "$2")" "$3" "$(mib_per_s 512 "$3")"
    }
    for cipher in 3des idea; do
        rm -f "$work/s.enc"
        e=$(seconds_of "$cli" encrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/s")
        mv "$work/s" "$work/s.orig"
        d=$(seconds_of "$cli" decrypt --cipher "$cipher" --quiet --passphrase-file "$pass" "$work/s.enc")
        cmp -s "$work/s" "$work/s.orig" || { echo "morvex-cli round trip differs" >&2; exit 1; }
        rm -f "$work/s" "$work/s.enc"; mv "$work/s.orig" "$work/s"
        row "morvex-cli $cipher" "$e" "$d"
    done
    e=$(seconds_of openssl enc -des-ede3-cbc -pbkdf2 -pass "file:$pass" -in "$work/s" -out "$work/s.ossl")
    d=$(seconds_of openssl enc -d -des-ede3-cbc -pbkdf2 -pass "file:$pass" -in "$work/s.ossl" -out "$work/s.back")
    cmp -s "$work/s" "$work/s.back" || { echo "openssl round trip differs" >&2; exit 1; }
    rm -f "$work/s.ossl" "$work/s.back"
    row "openssl enc -des-ede3-cbc" "$e" "$d"
    if openssl enc -provider legacy -provider default -idea-cbc -pbkdf2 -pass pass:x </dev/null >/dev/null 2>&1; then
        e=$(seconds_of openssl enc -provider legacy -provider default -idea-cbc -pbkdf2 -pass "file:$pass" \
            -in "$work/s" -out "$work/s.ossl")
        d=$(seconds_of openssl enc -d -provider legacy -provider default -idea-cbc -pbkdf2 -pass "file:$pass" \
            -in "$work/s.ossl" -out "$work/s.back")
        rm -f "$work/s.ossl" "$work/s.back"
        row "openssl enc -idea-cbc" "$e" "$d"
    else
        echo "openssl enc -idea-cbc: not offered by this OpenSSL"
    fi
    for algo in 3DES IDEA; do
        gpg_common=(--batch --yes --quiet --pinentry-mode loopback --passphrase-file "$pass")
        e=$(seconds_of gpg "${gpg_common[@]}" --symmetric --cipher-algo "$algo" --compress-algo none \
            -o "$work/s.gpg" "$work/s")
        d=$(seconds_of gpg "${gpg_common[@]}" --decrypt -o "$work/s.back" "$work/s.gpg")
        cmp -s "$work/s" "$work/s.back" || { echo "gpg round trip differs" >&2; exit 1; }
        rm -f "$work/s.gpg" "$work/s.back"
        row "gpg --cipher-algo $algo" "$e" "$d"
    done
fi
