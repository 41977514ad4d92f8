#!/bin/bash
# usage: cg.sh "op name" impl [n]
cd /project
export PYTHONHASHSEED=0 PYTHONPATH=/project/build/bench/pkg:/project/build/bench-floor/lib:/project/bench
n=${3:-20000}
get() { valgrind --tool=callgrind --callgrind-out-file=/project/build/cg/$(echo "$1-$3" | tr -c "a-zA-Z0-9\n-" _).$2.out python3.14 bench/profile_op.py "$1" $3 $2 2>&1 | grep -o 'Collected : [0-9]*' | awk '{print $3}'; }
a=$(get "$1" 0 $2); b=$(get "$1" $n $2)
echo "$1 [$2]: $(( (b - a) / n )) instr/op"
