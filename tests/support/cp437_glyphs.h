// Code page 437 as a terminal shows it, bytes 0x20 to 0xFF in order as
// UTF-8 (0x7F is a house, 0xFF a no-break space): what a UTF-8 caller must
// see of the board's bytes.
#pragma once

#include <string>

namespace support {

inline const std::string CP437_GLYPHS = " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                                        "abcdefghijklmnopqrstuvwxyz{|}~⌂"
                                        "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒ"
                                        "áíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
                                        "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
                                        "αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";

// The bytes first to last, each once.
inline std::string byte_run(int first, int last)
{
    std::string s;
    for (int b = first; b <= last; ++b)
        s += char(b);
    return s;
}

}
