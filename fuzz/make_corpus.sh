#!/usr/bin/env bash
# Writes the seed corpora into fuzz/corpus/<target>/: a few valid inputs of
# each kind for libFuzzer to start from. The files are committed; run this
# again after changing it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus"

# hex "00 1e ..." -> those bytes on standard output
hex() { local h; h=$(printf '%s' "$*" | tr -d ' \n'); printf "$(printf '%s' "$h" | sed 's/../\\x&/g')"; }
# record CONTROL BYTES-IN-HEX: one record of the targets' framing
record() {
  local control=$1; shift
  local h; h=$(printf '%s' "$*" | tr -d ' \n')
  hex "$control $(printf '%04x' $(( ${#h} / 2 ))) $h"
}
# ipx DST_NET DST_NODE DST_SOCK SRC_NET SRC_NODE SRC_SOCK [DATA]: one packet
ipx() {
  local data=${7:-}
  data=$(printf '%s' "$data" | tr -d ' ')
  printf 'ffff %04x 00 00 %s %s %s %s %s %s %s' $(( 30 + ${#data} / 2 )) "$1" "$2" "$3" "$4" "$5" "$6" "$data"
}
text() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }

new() { rm -rf "${out:?}/$1"; mkdir -p "$out/$1"; }

# --- the stack: 00 from the server, bit 1 take afterwards, bits 2-3 which
# binding (0 dynamic 0x4000, 1-2 SAP 0x0452, 3 0x8000), bit 4 with header.
ours=7f0000019c40
server=7f0000010001
new ipx_datagram_fuzz
{
  record 00 "$(ipx 00000000 $ours 0002 00000000 $server 0002)"
  record 12 "$(ipx 00000000 $ours 4000 00000000 $server 5000 "$(text hello)")"
  record 16 "$(ipx 00000000 ffffffffffff 0452 00000000 $server 0452 "$(text sap)")"
  record 0a "$(ipx 00000000 $ours 0452 00000000 $server 0452 0002)"
} > "$out/ipx_datagram_fuzz/registered-then-data"
{
  record 00 "$(ipx 00000000 $ours 0002 00000000 $server 0002)"
  record 00 "$(ipx 00000000 ffffffffffff 0002 00000000 $server 0002)"
  record 00 "$(ipx 00000001 7f0000019c41 0002 00000000 $server 0002)"
} > "$out/ipx_datagram_fuzz/ping-and-new-address"
{
  record 01 "$(ipx 00000000 $ours 0002 00000000 $server 0002)"
  record 00 "ffff 0020 00"
  record 02 "$(ipx 00000000 $ours 8000 00000000 $server 5000)"
} > "$out/ipx_datagram_fuzz/stranger-and-short"

# --- the relay: control bits 0-1 the source's address, 2-3 its port
# (127.0.0.1+n : 40000+m), bits 4-6 ping intervals passed first.
a=7f0000019c40
b=7f0000029c40
new ipx_relay_fuzz
{
  record 00 "$(ipx 00000000 000000000000 0002 00000000 000000000000 0002)"
  record 01 "$(ipx 00000000 000000000000 0002 00000000 000000000000 0002)"
  record 00 "$(ipx 00000000 $b 4000 00000000 $a 4001 "$(text data)")"
  record 01 "$(ipx 00000000 ffffffffffff 0452 00000000 $b 0452 0001)"
} > "$out/ipx_relay_fuzz/two-nodes-talk"
{
  record 00 "$(ipx 00000000 000000000000 0002 00000000 000000000000 0002)"
  record 00 "$(ipx 00000000 $b 4000 00000000 $b 4001)"
  record 30 "$(ipx 00000000 000000000000 0002 00000000 $a 0000)"
  record 70 "$(ipx 00000000 $a 4000 00000000 $a 4001)"
  record 02 "00 01 02"
} > "$out/ipx_relay_fuzz/forged-and-expired"

# --- Telnet input: bit 0 take after this segment, bit 1 a small destination.
new telnet_input_fuzz
record 01 "$(text 'hello')0d0a" > "$out/telnet_input_fuzz/plain-line"
{
  record 01 "61 ff fb"
  record 03 "01 62 ff"
  record 01 "ff 63 ff f3"
} > "$out/telnet_input_fuzz/split-commands"
{
  record 01 "ff fd 01 ff fb 03 ff fa 18 01 ff f0 $(text ok)"
} > "$out/telnet_input_fuzz/negotiation"

# --- KNET from the board host: bit 0 caller bytes instead, bit 1 send from
# the caller, bit 2 drain to the caller, bit 3 check the send queue, bit 4
# request a connection named by the bytes.
# knet LENGTH SEQUENCE TYPE CIRCUIT PAYLOAD: one packet
knet() { printf '%04x %04x %02x %02x 0000 %s' "$1" "$2" "$3" "$4" "${5:-}"; }
new knet_datagram_fuzz
{
  record 18 "$(text KELB)"
  record 08 "$(knet 3 1 1 0 030001)"
  record 0c "$(knet 2 1 4 3 e000)$(knet 5 1 5 3 "$(text hello)")"
  record 0b "$(text 'typed by the caller')"
  record 08 "$(knet 4 2 2 3 0001e000)"
} > "$out/knet_datagram_fuzz/connect-and-talk"
{
  record 10 "$(text KELB)"
  record 0c "$(knet 3 1 1 0 000001)$(knet 5 1 5 255 41)"
} > "$out/knet_datagram_fuzz/busy"
{
  record 08 "$(knet 3 1 1 0 010001)"
  record 03 "$(text abc)"
  record 08 "$(knet 4 1 3 1 00010002)$(knet 2 2 4 1 0000)$(knet 0 1 9 1)"
  record 08 "$(knet 200 1 5 1 00)"
} > "$out/knet_datagram_fuzz/nack-disconnect-and-junk"

# --- SAP datagrams: bit 0 committed in place, bits 1-3 records read after.
# sap LENGTH-FIELD-HEX PAYLOAD: a received datagram, IPX header first
sap() { printf 'ffff %s 00 04 00000000 ffffffffffff 0452 00000001 7f0000020001 0452 %s' "$1" "$2"; }
# entry TYPE NAME SOCKET HOPS: one server entry, the name NUL-padded to 48
entry() {
  local name; name=$(text "$2")
  while [ ${#name} -lt 96 ]; do name="${name}00"; done
  printf '%04x %s 00000001 7f0000020001 %04x %04x' "$1" "$name" "$3" "$4"
}
new sap_record_fuzz
{
  record 04 "$(sap 00a0 "0002 $(entry 4 KELB 16384 1)$(entry 4 OTHER 16385 2)")"
  record 02 "$(sap 0022 "0001 0004")"
  record 03 "$(sap 6000 "0004 $(entry 4 KELB 16384 16)")"
} > "$out/sap_record_fuzz/responses-and-query"
{
  record 02 "$(sap 00ff "0002 $(entry 4 LIAR 1 1)")"
  record 00 "$(sap 0060 "0009 $(entry 4 ODD 1 1)")"
  record 0e "$(sap 0060 "0002 $(entry 4 FINE 1 1)")"
} > "$out/sap_record_fuzz/lying-length-then-good"

# --- the configuration loader: whole files.
new config_loader_fuzz
cp "$here/../etc/orva.conf.xml" "$out/config_loader_fuzz/sample"
printf '<c><Server Type="Telnet" Port="23"/><Log File="a&amp;b" Level="5"/></c>' \
  > "$out/config_loader_fuzz/small"
printf '<?xml version="1.0"?>\n<!DOCTYPE c [<!ENTITY p "2323">]>\n<c><Server Type="Telnet" Port="&p;"/><![CDATA[x]]></c>\n' \
  > "$out/config_loader_fuzz/entity"
printf '<c><Server Type="IPX" IP="127.0.0.1" Port="213" Host="1">' \
  > "$out/config_loader_fuzz/unclosed"

# --- the PROXY header: the start of a balancer's connection.
new proxy_header_fuzz
printf 'PROXY TCP4 192.0.2.7 198.51.100.1 40001 23\r\nhello' > "$out/proxy_header_fuzz/v1-tcp4"
printf 'PROXY TCP6 2001:db8::9 ::1 40001 23\r\n' > "$out/proxy_header_fuzz/v1-tcp6"
hex "0d0a0d0a000d0a515549540a 21 11 000c c0000207 c6336401 9c41 0017 ff" > "$out/proxy_header_fuzz/v2-tcp4"
hex "0d0a0d0a000d0a515549540a 20 00 0000" > "$out/proxy_header_fuzz/v2-local"
