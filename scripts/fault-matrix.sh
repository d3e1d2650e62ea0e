#!/bin/bash
# Runs every simulated-handset fault on every image kind with eight simulated ports (the fault on
# one of them), then a soak of clean jobs, and checks each job's exit status against its report:
# 0 only when every port finished, the faulted port failed with a plausible status (or finished
# where its fault never comes into play), the other ports finished.
# Uses the programs in build/ (BUILD_DIR changes that); JOBS jobs run at once (4), since most of
# a faulted job is waiting. Prints one summary line and exits non-zero on any mismatch.
set -u -o pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
programs=${BUILD_DIR:-$root/build}/src/app/programs
cli=$programs/varnel-cli
mkimage=$programs/varnel-mkimage
jobs=${JOBS:-4}
soak=${SOAK:-50}
for program in "$cli" "$mkimage"; do
    [[ -x $program ]] || { echo "fault-matrix: $program is missing; build first" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=$work/images
mkdir -p "$images"
"$mkimage" --size 8K "$images/e.eb0" >/dev/null &&
    "$mkimage" --size 64K --langpack 16K "$images/p.nb0" >/dev/null &&
    "$mkimage" --csc-file EUR:4096 --csc-file NEE:8192 "$images/c.csc" >/dev/null &&
    "$mkimage" --first 16K --second 8K "$images/t.mst" >/dev/null &&
    "$mkimage" --size 12K "$images/t.sst" >/dev/null &&
    "$mkimage" --size 20K "$images/ph.bin" >/dev/null &&
    "$mkimage" --blocks 3 "$images/s.smd" >/dev/null &&
    "$mkimage" --first 16K "$images/m.mct" >/dev/null &&
    "$mkimage" --component eboot=8K --component pda --component csc --component phone \
        --component telvik --component contents "$images/i.img" >/dev/null ||
    { echo "fault-matrix: varnel-mkimage failed" >&2; exit 2; }

kinds=(
    "eboot:--eboot $images/e.eb0"
    "eboot+pda:--eboot $images/e.eb0 --pda $images/p.nb0"
    "pda:--pda $images/p.nb0"
    "csc:--csc $images/c.csc --csc-file 1 --language 1"
    "telvik:--telvik $images/t.mst"
    "single-telvik:--telvik $images/t.sst"
    "phone:--phone $images/ph.bin"
    "smd:--smd $images/s.smd --mode smd"
    "contents:--contents $images/m.mct"
    "integrated:--integrated $images/i.img --language 0"
)
# FAULT|EXPECT: "fail" the faulted port must fail, "either" it fails or its fault never comes
# into play, "finish" it must finish, "late" it attaches on a later arrival and finishes, or never
# attaches.
faults=(
    "wrong-chunk-sum=0|fail" "short-reply=1|fail" "missing-reply=1|fail" "stall=1|fail"
    "disconnect-after=5000|fail" "flash-fail=0|either" "flash-no-ack=0|either"
    "flash-wrong-echo=0|either" "wrong-check-word=0|either" "missing-check-word=0|either"
    "refuse-handshake=1|finish" "refuse-handshake=5|late" "slow-reattach=3000|either"
    "never-reattach|either" "slow=1021:12000|finish" "slow=2:3000|fail"
)
faulted_port=3

# One job: NAME EXPECT FAULT ARGS...; prints "ok NAME" or "MISMATCH NAME: why".
run_job() {
    local name=$1 expect=$2 fault=$3
    shift 3
    local dir=$work/jobs/$name
    mkdir -p "$dir"
    local fault_args=()
    [[ -n $fault ]] && fault_args=(--sim-fault "$faulted_port:$fault")
    "$cli" "$@" "${fault_args[@]}" --simulate 8 --skip-boot-wait --sim-time-scale 1000 \
        --sim-flash-rate 0 --detect-timeout 5 --reply-limit 2 --report "$dir/report.json" \
        >"$dir/out.log" 2>"$dir/err.log" </dev/null
    local status=$?
    python3 - "$dir/report.json" "$status" "$expect" "$faulted_port" "$name" <<'EOF'
import json, sys
path, status, expect, faulted, name = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
plausible = {208, 209, 210, 212, 216, 218}
problems = []
try:
    ports = json.load(open(path))["ports"]
except Exception as error:
    print(f"MISMATCH {name}: no report ({error}), exit {status}")
    sys.exit()
faulted_device = f"SIM{faulted}"
devices = [port["device"] for port in ports]
any_failed = any(port["state"] != "finished" for port in ports)
expected_status = 1 if any_failed or not ports else 3 if len(ports) < 8 else 0
if status != expected_status:
    problems.append(f"exit {status}, expected {expected_status}")
for port in ports:
    state, code = port["state"], port.get("status_code")
    if port["device"] != faulted_device or expect in ("finish", "late"):
        if state != "finished":
            problems.append(f"{port['device']} {state} {code} {port.get('status_text')}")
        continue
    if state == "failed" and code not in plausible:
        problems.append(f"{faulted_device} failed with {code}")
    if expect == "fail" and state != "failed":
        problems.append(f"{faulted_device} {state}, expected failed")
    if state not in ("finished", "failed"):
        problems.append(f"{faulted_device} {state}")
if expect == "late" and faulted_device not in devices:
    if len(ports) != 7:
        problems.append(f"{len(ports)} ports attached")
elif len(ports) != 8:
    problems.append(f"{len(ports)} ports attached")
print(f"MISMATCH {name}: " + "; ".join(problems) if problems else f"ok {name}")
EOF
}
export -f run_job
export cli work faulted_port

{
    for kind in "${kinds[@]}"; do
        for fault in "${faults[@]}"; do
            printf '%s\n' "${kind%%:*}/${fault%%|*}|${fault##*|}|${fault%%|*}|${kind#*:}"
        done
    done
    for ((index = 0; index < soak; ++index)); do
        kind=${kinds[index % ${#kinds[@]}]}
        printf '%s\n' "soak-$index-${kind%%:*}|finish||${kind#*:}"
    done
} >"$work/cases"

# Each case line: NAME|EXPECT|FAULT|ARGS (ARGS split on spaces; image paths have none).
xargs -P "$jobs" -I{} bash -c 'IFS="|" read -r name expect fault args <<<"$1";
    run_job "${name//\//:}" "$expect" "$fault" $args' _ {} <"$work/cases" >"$work/results"

grep '^MISMATCH' "$work/results" | sort
passed=$(grep -c '^ok ' "$work/results")
failed=$(grep -c -v '^ok ' "$work/results")
echo "fault matrix: $passed passed, $failed failed ($(wc -l <"$work/cases") jobs, 8 ports each)"
[[ $failed -eq 0 ]]
