# Sourced by the gateway scripts: a throw-away mosquitto broker on a free loopback port.
#
# start_loopback_broker DIR
#   writes DIR/mosquitto.conf (anonymous, no persistence), starts mosquitto with its log in
#   DIR/mosquitto.log, adds its pid to the caller's `pids` array (which the caller's clean-up
#   kills), waits until it accepts connections and sets `broker_port`.
start_loopback_broker() {
  local dir=$1
  broker_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" \
    > "$dir/mosquitto.conf"
  mosquitto -c "$dir/mosquitto.conf" > "$dir/mosquitto.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$broker_port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "mosquitto did not start on 127.0.0.1:$broker_port:" >&2
  cat "$dir/mosquitto.log" >&2
  return 1
}
