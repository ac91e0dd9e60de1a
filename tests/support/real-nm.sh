#!/usr/bin/env bash
# A real NetworkManager for the VPN tests, kept to network namespaces of the test's own:
#   real-nm.sh start DIR ID   starts it and prints the address of its private system bus
#   real-nm.sh stop DIR ID    stops what start started and removes the namespaces
# The client namespace vnm-cli-ID holds NetworkManager (a mount view of its own: a fresh
# /run with the private bus bound on /run/dbus, where the OpenVPN plugin's helper looks
# for it, and /sys read-only, without which it leaves every device unmanaged) and a static
# base profile on its end of a veth pair; the server namespace vnm-srv-ID holds an OpenVPN
# server (a CA and server certificate made here; the user alice with the password
# "right pass", checked by a script). Their addresses exist only inside the two
# namespaces. NetworkManager holds the provisioned OpenVPN profile VUDAZEZ.
set -euo pipefail
cmd=$1 W=$2 ID=$3
cli=vnm-cli-$ID srv=vnm-srv-$ID
stop() {
  for f in "$W/openvpn.pid" "$W/nm.pid" "$W/dbus.pid"; do
    [ -s "$f" ] || continue
    pid=$(cat "$f")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  ip netns del "$cli" 2>/dev/null || true
  ip netns del "$srv" 2>/dev/null || true
}
if [ "$cmd" = stop ]; then
  stop
  exit 0
fi
trap 'stop' ERR
mkdir -p "$W/connections" "$W/srv"
ip netns add "$cli"
ip netns add "$srv"
ip link add "vc-$ID" netns "$cli" type veth peer name "vs-$ID" netns "$srv"
ip -n "$srv" addr add 192.0.2.1/30 dev "vs-$ID"
ip -n "$srv" link set "vs-$ID" up
ip -n "$srv" link set lo up
ip -n "$cli" link set lo up

# The private system bus: its own socket, the standard policy.
sed -e "s|<listen>.*</listen>|<listen>unix:path=$W/bus</listen>|" -e "/<pidfile>/d" -e "/<user>/d" \
  -e "s|<includedir>system.d</includedir>|<includedir>/usr/share/dbus-1/system.d</includedir>|" \
  /usr/share/dbus-1/system.conf > "$W/bus.conf"
dbus-daemon --config-file="$W/bus.conf" --nofork --nopidfile > "$W/dbus.log" 2>&1 < /dev/null &
echo $! > "$W/dbus.pid"
for _ in $(seq 50); do [ -S "$W/bus" ] && break; sleep 0.1; done

cat > "$W/nm.conf" <<CONF
[main]
plugins=keyfile
no-auto-default=*
dns=none
rc-manager=unmanaged
auth-polkit=false
[keyfile]
path=$W/connections
unmanaged-devices=except:interface-name:vc-$ID
[connectivity]
enabled=false
[logging]
level=INFO
CONF
ip netns exec "$cli" unshare --mount --propagation private sh -c "
  mount -t tmpfs tmpfs /run && mkdir -p /run/dbus && touch /run/dbus/system_bus_socket &&
  mount --bind '$W/bus' /run/dbus/system_bus_socket &&
  mount -t tmpfs tmpfs /var/lib/NetworkManager &&
  mount -o remount,ro /sys &&
  exec NetworkManager --no-daemon --config='$W/nm.conf' --state-file='$W/nm.state' --pid-file='$W/nm.pid.own'" \
  > "$W/nm.log" 2>&1 < /dev/null &
echo $! > "$W/nm.pid"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$W/bus
for _ in $(seq 100); do nmcli -t -f STATE general status 2>/dev/null | grep -q . && break; sleep 0.1; done
for _ in $(seq 100); do nmcli -t -f DEVICE,STATE device 2>/dev/null | grep -q "^vc-$ID:disconnected" && break; sleep 0.1; done
nmcli connection add type ethernet ifname "vc-$ID" con-name vesk-base connection.autoconnect no \
  ipv4.method manual ipv4.addresses 192.0.2.2/30 ipv4.gateway 192.0.2.1 ipv6.method disabled > /dev/null
nmcli --wait 20 connection up vesk-base > /dev/null

cd "$W/srv"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.crt -days 2 \
  -subj /CN=vesk-test-ca 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr \
  -subj /CN=vesk-test-server 2>/dev/null
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt -days 2 2>/dev/null
cat > verify.sh <<'SH'
#!/bin/sh
[ "$(sed -n 1p "$1")" = alice ] && [ "$(sed -n 2p "$1")" = 'right pass' ]
SH
chmod +x verify.sh
cat > server.conf <<CONF
dev tun
proto udp
local 192.0.2.1
port 1194
server 198.18.0.0 255.255.255.0
topology subnet
ca $W/srv/ca.crt
cert $W/srv/server.crt
key $W/srv/server.key
dh none
verify-client-cert none
username-as-common-name
script-security 2
auth-user-pass-verify $W/srv/verify.sh via-file
tmp-dir $W/srv
verb 3
CONF
ip netns exec "$srv" openvpn --config "$W/srv/server.conf" > "$W/openvpn.log" 2>&1 < /dev/null &
echo $! > "$W/openvpn.pid"
for _ in $(seq 100); do grep -q "Initialization Sequence Completed" "$W/openvpn.log" && break; sleep 0.1; done
# The site's administrator provisions the profile, named after the phonebook entry.
nmcli connection add type vpn con-name VUDAZEZ vpn-type openvpn connection.autoconnect no \
  vpn.data "remote=192.0.2.1, connection-type=password, username=alice, ca=$W/srv/ca.crt, password-flags=2" > /dev/null
echo "unix:path=$W/bus"
