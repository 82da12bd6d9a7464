#!/usr/bin/env bash
# The systemd units: the unprivileged account the udev rule gives the probes
# to, the hardening that must stay, nothing that would hide the probes, the
# sockets (loopback and the group's Unix socket only) and who is admitted on
# them, and what systemd-analyze says of both where that tool is installed.
#   check_unit.sh UNIT SOCKET UDEV_RULES SYSUSERS SERVER
set -u
. "$(dirname "$0")/package_files.sh"
unit=$1 socket=$2 rules=$3 sysusers=$4 server=$5

for line in User=tarvex Group=tarvex NoNewPrivileges=yes PrivateTmp=yes ProtectSystem=strict ProtectHome=yes \
    DevicePolicy=closed "DeviceAllow=char-usb_device rw" Restart=on-failure KillSignal=SIGINT \
    SuccessExitStatus=2 "ExecStart=/usr/bin/tarvex-server --allow-group tarvex --hold-max 3600 --http 127.0.0.1:9184" LimitNOFILE=65536 \
    Requires=tarvex-server.socket Type=notify WatchdogSec=30 \
    Also=tarvex-server.socket; do
    grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
for line in ListenStream=/run/tarvex/tarvex.sock SocketMode=0660 SocketGroup=tarvex ListenStream=127.0.0.1:7184 \
    "ListenStream=[::1]:7184" BindIPv6Only=ipv6-only WantedBy=sockets.target; do
    grep -qxF "$line" "$socket" || fail "the socket unit lacks $line"
done
# A listener beyond loopback and the Unix socket serves the network.
others=$(grep '^ListenStream=' "$socket" | grep -vxF -e ListenStream=/run/tarvex/tarvex.sock \
    -e ListenStream=127.0.0.1:7184 -e "ListenStream=[::1]:7184")
[ -z "$others" ] || fail "the socket unit listens beyond loopback: $others"
# Hiding /dev, or a user namespace that does not map the tarvex group of the
# device nodes, takes the probes away; a private network takes the clients.
grep -Eq '^(PrivateDevices|PrivateUsers|PrivateNetwork)=(yes|true|on|1)$' "$unit" &&
    fail "the unit cuts the server off: $(grep -E '^(PrivateDevices|PrivateUsers|PrivateNetwork)=' "$unit")"
families=" $(sed -n 's/^RestrictAddressFamilies=//p' "$unit") "
[ "$(grep -c '^RestrictAddressFamilies=' "$unit")" -eq 1 ] || fail "the unit needs one RestrictAddressFamilies= line"
for family in AF_INET AF_INET6 AF_NETLINK AF_UNIX; do
    [[ "$families" == *" $family "* ]] || fail "RestrictAddressFamilies= lacks $family:$families"
done

groups=$(grep -o 'GROUP="[^"]*"' "$rules" | sort -u)
[ "$groups" = 'GROUP="tarvex"' ] || fail "the udev rule gives the probes to $groups, the unit runs as group tarvex"
grep -Eq '^u tarvex ' "$sysusers" || fail "$sysusers does not create the user tarvex"

if command -v systemd-analyze >/dev/null 2>&1; then
    # verify wants the ExecStart program to exist, and exits 0 even on an
    # unknown key: any message is a failure.
    copy=$(mktemp -d)
    sed "s#^ExecStart=/usr/bin/tarvex-server#ExecStart=$server#" "$unit" >"$copy/tarvex-server.service"
    cp "$socket" "$copy/tarvex-server.socket"
    messages=$(systemd-analyze verify --man=no "$copy/tarvex-server.service" "$copy/tarvex-server.socket" 2>&1)
    [ -z "$messages" ] || fail "systemd-analyze verify: $messages"
    rm -rf "$copy"
else
    echo "systemd-analyze is not installed: unit not verified by systemd"
fi

finish "units $(basename "$unit") $(basename "$socket")"
