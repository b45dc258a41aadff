#!/bin/sh
# Makes the certificates of the robots' broker (TLS, mqtts://) with openssl:
# a certificate authority of your own (ca.key, ca.crt; made once, kept if
# already there) and the broker's key and certificate signed by it
# (server.key, server.crt), valid for the host names and addresses given, the
# ones the robots and the laptops use in ROBOT_BROKER.
#
#   robot-broker-certificates DIR HOST [HOST...]
#   e.g. robot-broker-certificates ~/robot-ca broker.local 192.168.1.10
#
# Copy ca.crt to every robot and laptop (ROBOT_BROKER_CA), server.crt and
# server.key to the broker; keep ca.key to yourself (it signs certificates the
# robots trust).
set -eu

if [ $# -lt 2 ]; then
  echo "usage: robot-broker-certificates DIR HOST [HOST...]" >&2
  exit 2
fi
dir=$1
shift
umask 077
mkdir -p "$dir"

# The names the broker answers to: IP: for an address, DNS: for a name.
names=
for host in "$@"; do
  case $host in
    *[!0-9.]*) case $host in *:*) kind=IP ;; *) kind=DNS ;; esac ;;
    *) kind=IP ;;
  esac
  names="${names:+$names,}$kind:$host"
done

if [ ! -e "$dir/ca.key" ]; then
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=robot broker CA" -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>/dev/null
fi
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -subj "/CN=$1" -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$names" > "$dir/server.ext"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
  -days 825 -extfile "$dir/server.ext" -out "$dir/server.crt" 2>/dev/null
rm -f "$dir/server.csr" "$dir/server.ext"
chmod 644 "$dir/ca.crt" "$dir/server.crt"
echo "made in $dir: ca.crt (for the robots and laptops), server.crt and server.key (for the broker), ca.key (yours alone)"
