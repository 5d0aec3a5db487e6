# CPU time of processes from /proc, for the benchmark scripts (sourced; needs $cpu_seconds).

# Clock ticks of a process (user + system).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
# CPU % of each of the PIDs over cpu_seconds, on one line.
cpu_of() {
  local before=() after=() p
  for p in "$@"; do before+=("$(ticks "$p")"); done
  sleep "$cpu_seconds"
  for p in "$@"; do after+=("$(ticks "$p")"); done
  local i
  for i in "${!before[@]}"; do
    awk -v a="${before[$i]}" -v b="${after[$i]}" -v hz="$hz" -v s="$cpu_seconds" \
      'BEGIN { printf "%.2f", (b - a) * 100 / hz / s }'
    [ "$i" -lt $((${#before[@]} - 1)) ] && printf " "
  done
  echo
}
# The same from every thread's run time in /proc/PID/task/*/schedstat (ns), three decimals:
# clock ticks are too coarse for a program that holds at a fraction of a per cent.
runtime_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'; }
cpu_ns_of() {
  local before=() after=() p i
  for p in "$@"; do before+=("$(runtime_ns "$p")"); done
  sleep "$cpu_seconds"
  for p in "$@"; do after+=("$(runtime_ns "$p")"); done
  for i in "${!before[@]}"; do
    awk -v a="${before[$i]}" -v b="${after[$i]}" -v s="$cpu_seconds" 'BEGIN { printf "%.3f", (b - a) / (s * 1e7) }'
    [ "$i" -lt $((${#before[@]} - 1)) ] && printf " "
  done
  echo
}
