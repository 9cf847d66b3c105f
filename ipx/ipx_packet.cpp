// IPX packets as the UDP tunnel carries them.
#include "ipx/ipx_packet.h"

#include "util/big_endian.h"

bool parse_ipx_datagram(const uint8_t* datagram, size_t size, IpxHeader& header)
{
    if (datagram == nullptr || size < IPX_HEADER_SIZE || size > IPX_MAX_PACKET)
        return false;
    uint16_t length = get_be16(datagram + IPX_LENGTH_OFFSET);
    if (length != size)
        return false;
    header.checksum = get_be16(datagram);
    header.length = length;
    header.transport_control = datagram[4];
    header.packet_type = datagram[5];
    header.destination = IpxAddress::read(datagram + IPX_DESTINATION_OFFSET);
    header.source = IpxAddress::read(datagram + IPX_SOURCE_OFFSET);
    return true;
}

void write_ipx_header(const IpxHeader& header, uint8_t out[IPX_HEADER_SIZE])
{
    put_be16(out, header.checksum);
    put_be16(out + IPX_LENGTH_OFFSET, header.length);
    out[4] = header.transport_control;
    out[5] = header.packet_type;
    header.destination.write(out + IPX_DESTINATION_OFFSET);
    header.source.write(out + IPX_SOURCE_OFFSET);
}
