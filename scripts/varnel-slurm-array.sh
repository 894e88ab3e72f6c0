#!/usr/bin/env bash
# One recording per task of a Slurm job array. List the recordings first, then submit:
#
#   varnel-campaign list /data/20180725 > runs.txt
#   sbatch --array=1-$(wc -l < runs.txt) scripts/varnel-slurm-array.sh runs.txt
#   # once the array is done:
#   varnel-campaign ingest --db campaign.sqlite /data/20180725
#
# Task N analyses line N of the list (chip, configuration and path, separated by tabs or blanks,
# the path running to the end of the line) with varnel-plot, which writes the log, the pictures
# and the JSON results beside the recording, or, when the run fails, under the same JSON name a
# record of its exit status and message, so that the campaign database keeps the failure too.
# VARNEL_PLOT names the program when it is not on the PATH.
#SBATCH --job-name=varnel
#SBATCH --cpus-per-task=1
#SBATCH --mem=256M
#SBATCH --output=varnel-%A_%a.out
set -uo pipefail

list=${1:?usage: varnel-slurm-array.sh LIST}
task=${SLURM_ARRAY_TASK_ID:?not a task of a job array}
# Blanks or tabs between the fields; the path keeps the blanks inside it.
read -r chip config path < <(sed -n "${task}p" "$list") || true
if [[ -z "${path:-}" ]]; then
  echo "varnel-slurm-array.sh: line $task of $list is not \"chip config path\"" >&2
  exit 2
fi

exec "${VARNEL_PLOT:-varnel-plot}" -- "$chip" "$config" "$path"
