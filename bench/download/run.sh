#!/usr/bin/env bash
# Download benchmark: oru-fetch against aria2c, axel and curl, all fetching
# one random file from nginx on loopback. Run by hand (root or sudo for
# apt-get); never part of the test suite.
#
#   bench/download/run.sh [SIZE_MIB] [RUNS]        defaults: 1024 3
#
# Environment: ORU_FETCH (path of a built oru-fetch; built into
# build-bench/ when unset), BENCH_DIR (work folder, default a new one under
# /tmp), TOOL_TIMEOUT (seconds per run, default 600), KILLS (SIGKILLs per
# tool in case d, default 3).
set -euo pipefail

SIZE_MIB=${1:-1024}
RUNS=${2:-3}
TOOL_TIMEOUT=${TOOL_TIMEOUT:-600}
KILLS=${KILLS:-3}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${BENCH_DIR:-$(mktemp -d /tmp/oru-bench.XXXXXX)}
SIZE=$((SIZE_MIB * 1048576))
GIB=$(awk -v s="$SIZE" 'BEGIN { printf "%.6f", s / 1073741824 }')

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# ------------------------------------------------------------------ tools

need=()
command -v aria2c >/dev/null || need+=(aria2)
command -v axel >/dev/null || need+=(axel)
command -v curl >/dev/null || need+=(curl)
command -v hyperfine >/dev/null || need+=(hyperfine)
[ -x /usr/bin/time ] || need+=(time)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ -z "${ORU_FETCH:-}" ]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORU_BUILD_TESTS=OFF >/dev/null
  ninja -C "$ROOT/build-bench" oru-fetch >/dev/null
  ORU_FETCH=$ROOT/build-bench/tools/oru_fetch/oru-fetch
fi

# ------------------------------------------------------------------ data and server

mkdir -p "$WORK/www" "$WORK/out" "$WORK/nginx/tmp" "$WORK/nginx/logs"
echo "work folder: $WORK"
if [ ! -f "$WORK/www/pkg.bin" ] || [ "$(stat -c %s "$WORK/www/pkg.bin")" -ne "$SIZE" ]; then
  head -c "$SIZE" /dev/urandom >"$WORK/www/pkg.bin"
fi
MD5=$(md5sum "$WORK/www/pkg.bin" | cut -d' ' -f1)
PORT=$(( (RANDOM % 20000) + 30000 ))
URL="http://127.0.0.1:$PORT/pkg.bin"
ACCESS_LOG=$WORK/nginx/logs/access.log
NGINX_PID=""

# start_nginx <http-level directives> <location directives>
start_nginx() {
  stop_nginx
  cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 2;
error_log $WORK/nginx/logs/error.log;
pid $WORK/nginx/nginx.pid;
events { worker_connections 4096; }
http {
  log_format bytes '\$connection \$body_bytes_sent "\$http_range"';
  access_log $ACCESS_LOG bytes;
  client_body_temp_path $WORK/nginx/tmp; proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp; uwsgi_temp_path $WORK/nginx/tmp; scgi_temp_path $WORK/nginx/tmp;
  sendfile on;
  keepalive_requests 100000;
  $1
  server {
    listen 127.0.0.1:$PORT backlog=4096;
    root $WORK/www;
    location / { $2 }
  }
}
EOF
  /usr/sbin/nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" &
  NGINX_PID=$!
  for _ in $(seq 50); do
    curl -sf -o /dev/null -r 0-0 "$URL" && return 0
    sleep 0.1
  done
  echo "nginx did not start" >&2
  exit 1
}

stop_nginx() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=""
  fi
}
trap stop_nginx EXIT

# ------------------------------------------------------------------ runs

tool_cmd() {
  case $1 in
    oru) echo "$ORU_FETCH --md5 $MD5 $URL $WORK/out" ;;
    aria2c) echo "aria2c -q -x16 -s16 -k1M --file-allocation=none --checksum=md5=$MD5 --allow-overwrite=true \
--auto-file-renaming=false -c -d $WORK/out -o pkg.bin $URL" ;;
    axel) echo "axel -q -n 16 -o $WORK/out/pkg.bin $URL" ;;
    curl) echo "curl -s -C - -o $WORK/out/pkg.bin $URL" ;;
  esac
}

clean_out() { rm -rf "${WORK:?}/out" && mkdir -p "$WORK/out"; }

output_ok() { [ "$(md5sum "$WORK/out/pkg.bin" 2>/dev/null | cut -d' ' -f1)" = "$MD5" ]; }

# measure <tool> <timeout>: one clean run under GNU time; prints
# "wall cpu rss_kib ok"
measure() {
  clean_out
  local stats=$WORK/time.txt
  # shellcheck disable=SC2046
  if ! timeout "$2" /usr/bin/time -f "%e %U %S %M" -o "$stats" $(tool_cmd "$1") >/dev/null 2>&1; then
    echo "timeout 0 0 no"
    return
  fi
  local ok=no
  output_ok && ok=yes
  awk -v ok="$ok" '{ printf "%s %.2f %d %s\n", $1, $2 + $3, $4, ok }' "$stats"
}

# run_case <name>: every tool RUNS times (median wall time); sets RATIO
declare -A WALL
run_case() {
  local name=$1
  echo
  echo "== case $name"
  printf "%-8s %10s %10s %12s %10s %s\n" tool wall_s ratio cpu_s/GiB peak_MiB md5
  local tool
  for tool in oru aria2c axel curl; do
    local runs=$RUNS
    [ "$tool" = curl ] && runs=1  # one connection: by far the slowest, once is enough
    local walls=() cpu=0 rss=0 ok=yes
    # A peer gets 20 times our time (at least a minute): a stuck peer is
    # reported as a timeout instead of holding the benchmark for hours.
    local limit=$TOOL_TIMEOUT
    [ "$tool" != oru ] && limit=$(awk -v o="${WALL[oru]}" -v t="$TOOL_TIMEOUT" \
      'BEGIN { l = (o ~ /^[0-9.]+$/) ? 20 * o : t; if (l < 60) l = 60; if (l > t) l = t; printf "%d", l }')
    for _ in $(seq "$runs"); do
      read -r wall c r good < <(measure "$tool" "$limit")
      [ "$good" = yes ] || ok=no
      walls+=("$wall")
      cpu=$c
      rss=$r
    done
    WALL[$tool]=$(printf "%s\n" "${walls[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    local ratio="-"
    [ "$tool" != oru ] && ratio=$(awk -v o="${WALL[oru]}" -v t="${WALL[$tool]}" 'BEGIN { if (t ~ /^[0-9.]+$/ && t > 0 && o ~ /^[0-9.]+$/) printf "%.2f", o / t; else print "-" }')
    printf "%-8s %10s %10s %12.2f %10.1f %s\n" "$tool" "${WALL[$tool]}" "$ratio" \
      "$(awk -v c="$cpu" -v g="$GIB" 'BEGIN { print c / g }')" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')" "$ok"
  done
  RATIO=$(awk -v o="${WALL[oru]}" -v a="${WALL[aria2c]}" 'BEGIN { if (a ~ /^[0-9.]+$/ && a > 0 && o ~ /^[0-9.]+$/) printf "%.3f", o / a; else print "nan" }')
  echo "ours/aria2c wall-time ratio: $RATIO"
}

# kill_case: each tool is killed KILLS times at random points, restarted,
# and finally left to finish; bytes sent by nginx beyond the file size are
# the bytes fetched again.
kill_case() {
  echo
  echo "== case d: SIGKILL x$KILLS and restart (server as in case a)"
  printf "%-8s %14s %14s %s\n" tool sent_MiB refetched_MiB md5
  local tool
  for tool in oru aria2c axel curl; do
    clean_out
    : >"$ACCESS_LOG"
    local expected=${WALL_A[$tool]:-5}
    local k
    for k in $(seq "$KILLS"); do
      # shellcheck disable=SC2046
      $(tool_cmd "$tool") >/dev/null 2>&1 &
      local pid=$!
      local at
      at=$(awk -v e="$expected" -v r="$RANDOM" -v k="$k" -v n="$KILLS" \
        'BEGIN { lo = (k - 1) / n; hi = k / n; f = lo + (hi - lo) * (r / 32767); printf "%.2f", e * (0.1 + 0.7 * f) / n + 0.2 }')
      sleep "$at"
      kill -9 "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    done
    # shellcheck disable=SC2046
    timeout "$TOOL_TIMEOUT" $(tool_cmd "$tool") >/dev/null 2>&1 || true
    sleep 0.5  # nginx writes the last log lines
    local sent
    sent=$(awk '{ s += $2 } END { print s + 0 }' "$ACCESS_LOG")
    local ok=no
    output_ok && ok=yes
    printf "%-8s %14.1f %14.1f %s\n" "$tool" "$(awk -v s="$sent" 'BEGIN { print s / 1048576 }')" \
      "$(awk -v s="$sent" -v t="$SIZE" 'BEGIN { d = s - t; if (d < 0) d = 0; print d / 1048576 }')" "$ok"
  done
}

echo "file: ${SIZE_MIB} MiB, md5 $MD5, runs per tool: $RUNS, cores: $(nproc)"

start_nginx "" "limit_rate 20m;"
run_case "a: limit_rate 20m per connection"
RATIO_CAPPED=$RATIO
declare -A WALL_A
for t in oru aria2c axel curl; do WALL_A[$t]=${WALL[$t]}; done

start_nginx "" ""
run_case "b: no limit"

start_nginx 'map $connection $r { ~[05]$ 128k; default 20m; }' 'limit_rate $r;'
run_case "c: every fifth connection throttled to 128k"

start_nginx "" "limit_rate 20m;"
kill_case

stop_nginx
echo
echo "ratio_vs_aria2c_capped=$RATIO_CAPPED"
