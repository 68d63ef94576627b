#!/usr/bin/env bash
# tools/timed.sh STEP COMMAND...: runs COMMAND and appends "STEP wall user sys"
# (seconds; user and sys include every child) to $STEP_TIMES, so that the
# gate can say what each step cost even when steps run side by side.
step=$1
shift
log=${STEP_TIMES:-build/step-times.txt}
mkdir -p "$(dirname "$log")"
TIMEFORMAT="$step %R %U %S"
{ time "$@" 2>&3; } 3>&2 2>>"$log"
