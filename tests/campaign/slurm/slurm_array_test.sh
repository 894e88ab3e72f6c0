#!/usr/bin/env bash
# The job-array script on a real single-node Slurm: munge, the controller and the node daemon
# run on this machine for the test only (as root, from a scratch folder, on ports of their own)
# and are stopped after it. An array over simulated recordings is submitted and waited for, its
# results are ingested, and the database must equal a local run's. The tasks find nothing on
# their PATH but bash and sed, as on a bare compute node (no python3): a failed recording must
# still reach the database as a failure. Without root or the cluster's programs the test is
# skipped (status 77).
#
#   slurm_array_test.sh VARNEL_CAMPAIGN VARNEL_PLOT VARNEL_SIM_CAMPAIGN SCRIPT SAME_RESULTS_SQL
set -euo pipefail
campaign=$1 plot=$2 sim=$3 script=$4 same_sql=$5
skip=77
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: the daemons of a test cluster need root"
  exit $skip
fi
for tool in munged slurmctld slurmd sbatch sinfo sqlite3; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is missing (apt-get install slurm-wlm munge sqlite3)"
    exit $skip
  fi
done

work=$(mktemp -d /tmp/varnel-slurm-XXXXXX)
chmod 755 "$work"
pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap stop EXIT

# munge with a key of its own.
mkdir -p "$work/munge"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
chmod 400 "$work/munge/key"
munged --foreground --force --socket="$work/munge/socket" --key-file="$work/munge/key" \
  --pid-file="$work/munge/pid" --log-file="$work/munge/log" --seed-file="$work/munge/seed" \
  >"$work/munged.out" 2>&1 &
pids+=($!)

node=$(hostname -s)
# The node as slurmd sees it (CPUs, memory), so that the script's requests can be met.
node_line=$(slurmd -C | head -n 1)
mkdir -p "$work/state" "$work/spool"
cat >"$work/slurm.conf" <<CONF
ClusterName=varneltest
SlurmctldHost=$node
SlurmctldPort=16817
SlurmdPort=16818
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
$node_line State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
for _ in $(seq 50); do [[ -S $work/munge/socket ]] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
pids+=($!)
for i in $(seq 100); do
  state=$(sinfo -h -n "$node" -o %t 2>/dev/null || true)
  [[ $state == idle* ]] && break
  if [[ $i -eq 100 ]]; then
    echo "the test cluster did not come up (node state: '$state')" >&2
    tail -n 20 "$work/slurmctld.log" "$work/slurmd.log" >&2 || true
    exit 1
  fi
  sleep 0.3
done

mkdir -p "$work/data" "$work/out"
"$sim" --output "$work/data" --chips 6 --events 40 --faults
echo garbage >"$work/data/123510_korvi100099_dessel00_link00_20mV_delay-all_adc.txt"
cd "$work"
"$campaign" list data >runs.txt
tasks=$(wc -l <runs.txt)
mkdir -p "$work/node-bin"
ln -s "$(command -v bash)" "$(command -v sed)" "$work/node-bin/"
sbatch --wait --quiet --array=1-"$tasks" --output="$work/out/%A_%a.out" \
  --export=ALL,PATH="$work/node-bin",VARNEL_PLOT="$plot" \
  "$script" runs.txt || true   # the array's status is that of its failed task

ingest=$("$campaign" ingest --db cluster.sqlite data || true)
"$campaign" run --settle 0 --db local.sqlite data >/dev/null 2>&1 || true
# On standard input: sqlite3's .read splits its argument at blanks.
same=$(sqlite3 -cmd "ATTACH 'cluster.sqlite' AS b" local.sqlite <"$same_sql")
expected_ingest="7 results: 6 ingested, 1 failed runs; 0 skipped; database cluster.sqlite"
if [[ $ingest != "$expected_ingest" || $same != "0|0|0" ]]; then
  echo "ingest: $ingest (expected: $expected_ingest)" >&2
  echo "differences recordings|channels|points: $same (expected 0|0|0)" >&2
  exit 1
fi
echo "$tasks array tasks on Slurm, ingested; the database equals a local run's"
