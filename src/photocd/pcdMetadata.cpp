// The descriptive data of an image pack: twenty texts from the image-pack
// information sector (bytes 2048 to 4095) and its scene-balance block, and
// the film table that names the film term of that block.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "photocd/pcdDecode.h"

namespace {

struct FilmRow {
    int term, code1, code2;
    const char* name;
};

const FilmRow kFilms[] = {
    {1, 18, 7, "3M ScotchColor AT 100"},
    {2, 0, 0, "3M ScotchColor AT 200"},
    {3, 0, 0, "3M ScotchColor HR2 400"},
    {7, 0, 0, "3M Scotch HR 200 Gen 2"},
    {9, 0, 0, "3M Scotch HR 400 Gen 2"},
    {16, 0, 0, "AGFA AGFACOLOR XRS 400 Gen 1"},
    {17, 0, 0, "AGFA AGFACOLOR XRG/XRS 400"},
    {18, 0, 0, "AGFA AGFACOLOR XRG/XRS 200"},
    {19, 0, 0, "AGFA AGFACOLOR XRS 1000 Gen 2"},
    {20, 0, 0, "AGFA AGFACOLOR XRS 400 Gen 2"},
    {21, 0, 0, "AGFA AGFACOLOR XRS/XRC 100"},
    {26, 0, 0, "FUJI Reala 100 (JAPAN)"},
    {27, 0, 0, "FUJI Reala 100 Gen 1"},
    {28, 0, 0, "FUJI Reala 100 Gen 2"},
    {29, 0, 0, "FUJI SHR 400 Gen 2"},
    {30, 0, 0, "FUJI Super HG 100"},
    {31, 0, 0, "FUJI Super HG 1600 Gen 1"},
    {32, 0, 0, "FUJI Super HG 200"},
    {33, 0, 0, "FUJI Super HG 400"},
    {34, 0, 0, "FUJI Super HG 100 Gen 2"},
    {35, 0, 0, "FUJI Super HR 100 Gen 1"},
    {36, 0, 0, "FUJI Super HR 100 Gen 2"},
    {37, 0, 0, "FUJI Super HR 1600 Gen 2"},
    {38, 0, 0, "FUJI Super HR 200 Gen 1"},
    {39, 0, 0, "FUJI Super HR 200 Gen 2"},
    {40, 0, 0, "FUJI Super HR 400 Gen 1"},
    {43, 0, 0, "FUJI NSP 160S (PRO)"},
    {45, 0, 0, "KODAK KODACOLOR VR 100 Gen 2"},
    {47, 0, 0, "KODAK GOLD 400 Gen 3"},
    {55, 0, 0, "KODAK EKTAR 100 Gen 1"},
    {56, 0, 0, "KODAK EKTAR 1000 Gen 1"},
    {57, 0, 0, "KODAK EKTAR 125 Gen 1"},
    {58, 0, 0, "KODAK ROYAL GOLD 25 RZ"},
    {60, 0, 0, "KODAK GOLD 1600 Gen 1"},
    {61, 0, 0, "KODAK GOLD 200 Gen 2"},
    {62, 0, 0, "KODAK GOLD 400 Gen 2"},
    {65, 0, 0, "KODAK KODACOLOR VR 100 Gen 1"},
    {66, 0, 0, "KODAK KODACOLOR VR 1000 Gen 2"},
    {67, 0, 0, "KODAK KODACOLOR VR 1000 Gen 1"},
    {68, 0, 0, "KODAK KODACOLOR VR 200 Gen 1"},
    {69, 0, 0, "KODAK KODACOLOR VR 400 Gen 1"},
    {70, 0, 0, "KODAK KODACOLOR VR 200 Gen 2"},
    {71, 0, 0, "KODAK KODACOLOR VRG 100 Gen 1"},
    {72, 0, 0, "KODAK GOLD 100 Gen 2"},
    {73, 0, 0, "KODAK KODACOLOR VRG 200 Gen 1"},
    {74, 0, 0, "KODAK GOLD 400 Gen 1"},
    {87, 0, 0, "KODAK EKTACOLOR GOLD 160"},
    {88, 0, 0, "KODAK EKTAPRESS 1600 Gen 1 PPC"},
    {89, 0, 0, "KODAK EKTAPRESS GOLD 100 Gen 1 PPA"},
    {90, 0, 0, "KODAK EKTAPRESS GOLD 400 PPB-3"},
    {92, 0, 0, "KODAK EKTAR 25 Professional PHR"},
    {97, 0, 0, "KODAK T-MAX 100 Professional"},
    {98, 0, 0, "KODAK T-MAX 3200 Professional"},
    {99, 0, 0, "KODAK T-MAX 400 Professional"},
    {101, 0, 0, "KODAK VERICOLOR 400 Prof VPH"},
    {102, 0, 0, "KODAK VERICOLOR III Pro"},
    {121, 0, 0, "KONICA KONICA COLOR SR-G 3200"},
    {122, 0, 0, "KONICA KONICA COLOR SUPER SR100"},
    {123, 0, 0, "KONICA KONICA COLOR SUPER SR 400"},
    {138, 0, 0, "KODAK GOLD UNKNOWN"},
    {139, 0, 0, "KODAK UNKNOWN NEG A-"},
    {143, 0, 0, "KODAK EKTAR 100 Gen 2"},
    {147, 0, 0, "KODAK KODACOLOR CII"},
    {148, 0, 0, "KODAK KODACOLOR II"},
    {149, 0, 0, "KODAK GOLD Plus 200 Gen 3"},
    {150, 0, 0, "KODAK Internegative +10% Contrast"},
    {151, 0, 0, "AGFA AGFACOLOR Ultra 50"},
    {152, 0, 0, "FUJI NHG 400"},
    {153, 0, 0, "AGFA AGFACOLOR XRG 100"},
    {154, 0, 0, "KODAK GOLD Plus 100 Gen 3"},
    {155, 0, 0, "KONICA KONICA COLOR SUPER SR200 GEN 1"},
    {156, 0, 0, "KONICA KONICA COLOR SR-G 160"},
    {157, 0, 0, "AGFA AGFACOLOR OPTIMA 125"},
    {158, 0, 0, "AGFA AGFACOLOR PORTRAIT 160"},
    {162, 0, 0, "KODAK KODACOLOR VRG 400 Gen 1"},
    {163, 0, 0, "KODAK GOLD 200 Gen 1"},
    {164, 0, 0, "KODAK KODACOLOR VRG 100 Gen 2"},
    {174, 0, 0, "KODAK Internegative +20% Contrast"},
    {175, 0, 0, "KODAK Internegative +30% Contrast"},
    {176, 0, 0, "KODAK Internegative +40% Contrast"},
    {184, 0, 0, "KODAK TMAX-100 D-76 CI = .40"},
    {185, 0, 0, "KODAK TMAX-100 D-76 CI = .50"},
    {186, 0, 0, "KODAK TMAX-100 D-76 CI = .55"},
    {187, 0, 0, "KODAK TMAX-100 D-76 CI = .70"},
    {188, 0, 0, "KODAK TMAX-100 D-76 CI = .80"},
    {189, 0, 0, "KODAK TMAX-100 TMAX CI = .40"},
    {190, 0, 0, "KODAK TMAX-100 TMAX CI = .50"},
    {191, 0, 0, "KODAK TMAX-100 TMAX CI = .55"},
    {192, 0, 0, "KODAK TMAX-100 TMAX CI = .70"},
    {193, 0, 0, "KODAK TMAX-100 TMAX CI = .80"},
    {195, 0, 0, "KODAK TMAX-400 D-76 CI = .40"},
    {196, 0, 0, "KODAK TMAX-400 D-76 CI = .50"},
    {197, 0, 0, "KODAK TMAX-400 D-76 CI = .55"},
    {198, 0, 0, "KODAK TMAX-400 D-76 CI = .70"},
    {214, 0, 0, "KODAK TMAX-400 D-76 CI = .80"},
    {215, 0, 0, "KODAK TMAX-400 TMAX CI = .40"},
    {216, 0, 0, "KODAK TMAX-400 TMAX CI = .50"},
    {217, 0, 0, "KODAK TMAX-400 TMAX CI = .55"},
    {218, 0, 0, "KODAK TMAX-400 TMAX CI = .70"},
    {219, 0, 0, "KODAK TMAX-400 TMAX CI = .80"},
    {224, 0, 0, "3M ScotchColor ATG 400/EXL 400"},
    {266, 0, 0, "AGFA AGFACOLOR OPTIMA 200"},
    {267, 0, 0, "KONICA IMPRESSA 50"},
    {268, 0, 0, "POLAROID POLAROID CP 200"},
    {269, 0, 0, "KONICA KONICA COLOR SUPER SR200 GEN 2"},
    {270, 0, 0, "ILFORD XP2 400"},
    {271, 0, 0, "POLAROID POLAROID COLOR HD2 100"},
    {272, 0, 0, "POLAROID POLAROID COLOR HD2 400"},
    {273, 0, 0, "POLAROID POLAROID COLOR HD2 200"},
    {282, 0, 0, "3M ScotchColor ATG-1 200"},
    {284, 0, 0, "KONICA XG 400"},
    {307, 0, 0, "KODAK UNIVERSAL REVERSAL B / W"},
    {308, 0, 0, "KODAK RPC COPY FILM Gen 1"},
    {312, 52, 55, "KODAK UNIVERSAL E6"},
    {324, 0, 0, "KODAK GOLD Ultra 400 Gen 4"},
    {328, 0, 0, "FUJI Super G 100"},
    {329, 0, 0, "FUJI Super G 200"},
    {330, 0, 0, "FUJI Super G 400 Gen 2"},
    {333, 116, 22, "KODAK UNIVERSAL K14"},
    {334, 0, 0, "FUJI Super G 400 Gen 1"},
    {366, 0, 0, "KODAK VERICOLOR HC 6329 VHC"},
    {367, 0, 0, "KODAK VERICOLOR HC 4329 VHC"},
    {368, 0, 0, "KODAK VERICOLOR L 6013 VPL"},
    {369, 0, 0, "KODAK VERICOLOR L 4013 VPL"},
    {418, 0, 0, "KODAK EKTACOLOR Gold II 400 Prof"},
    {430, 0, 0, "KODAK ROYAL GOLD 1000"},
    {431, 0, 0, "KODAK KODACOLOR VR 200 / 5093"},
    {432, 0, 0, "KODAK GOLD Plus 100 Gen 4"},
    {443, 0, 0, "KODAK ROYAL GOLD 100"},
    {444, 0, 0, "KODAK ROYAL GOLD 400"},
    {445, 0, 0, "KODAK UNIVERSAL E6 auto-balance"},
    {446, 0, 0, "KODAK UNIVERSAL E6 illum. corr."},
    {447, 0, 0, "KODAK UNIVERSAL K14 auto-balance"},
    {448, 0, 0, "KODAK UNIVERSAL K14 illum. corr."},
    {449, 0, 0, "KODAK EKTAR 100 Gen 3 SY"},
    {456, 0, 0, "KODAK EKTAR 25"},
    {457, 0, 0, "KODAK EKTAR 100 Gen 3 CX"},
    {458, 0, 0, "KODAK EKTAPRESS PLUS 100 Prof PJA-1"},
    {459, 0, 0, "KODAK EKTAPRESS GOLD II 100 Prof"},
    {460, 0, 0, "KODAK Pro 100 PRN"},
    {461, 0, 0, "KODAK VERICOLOR HC 100 Prof VHC-2"},
    {462, 0, 0, "KODAK Prof Color Neg 100"},
    {463, 0, 0, "KODAK EKTAR 1000 Gen 2"},
    {464, 0, 0, "KODAK EKTAPRESS PLUS 1600 Pro PJC-1"},
    {465, 0, 0, "KODAK EKTAPRESS GOLD II 1600 Prof"},
    {466, 0, 0, "KODAK SUPER GOLD 1600 GF Gen 2"},
    {467, 0, 0, "KODAK KODACOLOR 100 Print Gen 4"},
    {468, 0, 0, "KODAK SUPER GOLD 100 Gen 4"},
    {469, 0, 0, "KODAK GOLD 100 Gen 4"},
    {470, 0, 0, "KODAK GOLD III 100 Gen 4"},
    {471, 0, 0, "KODAK FUNTIME 100 FA"},
    {472, 0, 0, "KODAK FUNTIME 200 FB"},
    {473, 0, 0, "KODAK KODACOLOR VR 200 Gen 4"},
    {474, 0, 0, "KODAK GOLD Super 200 Gen 4"},
    {475, 0, 0, "KODAK KODACOLOR 200 Print Gen 4"},
    {476, 0, 0, "KODAK SUPER GOLD 200 Gen 4"},
    {477, 0, 0, "KODAK GOLD 200 Gen 4"},
    {478, 0, 0, "KODAK GOLD III 200 Gen 4"},
    {479, 0, 0, "KODAK GOLD Ultra 400 Gen 5"},
    {480, 0, 0, "KODAK SUPER GOLD 400 Gen 5"},
    {481, 0, 0, "KODAK GOLD 400 Gen 5"},
    {482, 0, 0, "KODAK GOLD III 400 Gen 5"},
    {483, 0, 0, "KODAK KODACOLOR 400 Print Gen 5"},
    {484, 0, 0, "KODAK EKTAPRESS PLUS 400 Prof PJB-2"},
    {485, 0, 0, "KODAK EKTAPRESS GOLD II 400 Prof G5"},
    {486, 0, 0, "KODAK Pro 400 PPF-2"},
    {487, 0, 0, "KODAK EKTACOLOR GOLD II 400 EGP-4"},
    {488, 0, 0, "KODAK EKTACOLOR GOLD 400 Prof EGP-4"},
    {489, 0, 0, "KODAK EKTAPRESS GOLD II Multspd PJM"},
    {490, 0, 0, "KODAK Pro 400 MC PMC"},
    {491, 0, 0, "KODAK VERICOLOR 400 Prof VPH-2"},
    {492, 0, 0, "KODAK VERICOLOR 400 PLUS Prof VPH-2"},
    {493, 0, 0, "KODAK UNKNOWN NEG Product Code 83"},
    {505, 0, 0, "KODAK EKTACOLOR PRO GOLD 160 GPX"},
    {508, 0, 0, "KODAK ROYAL GOLD 200"},
    {517, 0, 0, "KODAK 4050000000"},
    {519, 0, 0, "KODAK GOLD Plus 100 Gen 5"},
    {520, 0, 0, "KODAK GOLD 800 Gen 1"},
    {521, 0, 0, "KODAK GOLD Super 200 Gen 5"},
    {522, 0, 0, "KODAK EKTAPRESS PLUS 200 Prof"},
    {523, 52, 73, "KODAK 4050 E6 auto-balance"},
    {524, 0, 0, "KODAK 4050 E6 ilum. corr."},
    {525, 116, 72, "KODAK 4050 K14"},
    {526, 0, 0, "KODAK 4050 K14 auto-balance"},
    {527, 0, 0, "KODAK 4050 K14 ilum. corr."},
    {528, 0, 0, "KODAK 4050 REVERSAL B&W"},
    {532, 0, 0, "KODAK ADVANTIX 200"},
    {533, 0, 0, "KODAK ADVANTIX 400"},
    {534, 0, 0, "KODAK ADVANTIX 100"},
    {535, 0, 0, "KODAK EKTAPRESS Multspd Prof PJM-2"},
    {536, 0, 0, "KODAK KODACOLOR VR 200 Gen 5"},
    {537, 0, 0, "KODAK FUNTIME 200 FB Gen 2"},
    {538, 0, 0, "KODAK Commercial 200"},
    {539, 0, 0, "KODAK Royal Gold 25 Copystand"},
    {540, 0, 0, "KODAK KODACOLOR DA 100 Gen 5"},
    {545, 0, 0, "KODAK KODACOLOR VR 400 Gen 2"},
    {546, 0, 0, "KODAK GOLD 100 Gen 6"},
    {547, 0, 0, "KODAK GOLD 200 Gen 6"},
    {548, 0, 0, "KODAK GOLD 400 Gen 6"},
    {549, 0, 0, "KODAK ROYAL GOLD 100 Gen 2"},
    {550, 0, 0, "KODAK ROYAL GOLD 200 Gen 2"},
    {551, 0, 0, "KODAK ROYAL GOLD 400 Gen 2"},
    {552, 0, 0, "KODAK GOLD MAX 800 GEN 2"},
    {554, 0, 0, "KODAK 4050 E6 high contrast"},
    {555, 0, 0, "KODAK 4050 E6 low saturation high contrast"},
    {556, 0, 0, "KODAK 4050 E6 low saturation"},
    {557, 0, 0, "KODAK Universal E-6 Low Saturation"},
    {558, 0, 0, "KODAK T-MAX T400 CN"},
    {563, 0, 0, "KODAK EKTAPRESS PJ100"},
    {564, 0, 0, "KODAK EKTAPRESS PJ400"},
    {565, 0, 0, "KODAK EKTAPRESS PJ800"},
    {567, 0, 0, "KODAK PORTRA 160NC"},
    {568, 0, 0, "KODAK PORTRA 160VC"},
    {569, 0, 0, "KODAK PORTRA 400NC"},
    {570, 0, 0, "KODAK PORTRA 400VC"},
    {575, 0, 0, "KODAK ADVANTIX 100-2"},
    {576, 0, 0, "KODAK ADVANTIX 200-2"},
    {577, 94, 1, "KODAK ADVANTIX Black & White + 400"},
    {578, 0, 0, "KODAK EKTAPRESS PJ800-2"},
};

const char* const kItemNames[20] = {"PCD format version",
                                    "Authoring software Release number",
                                    "Scanning time",
                                    "Last modification time",
                                    "Image medium",
                                    "Product type",
                                    "Scanner vendor identity",
                                    "Scanner product identity",
                                    "Scanner firmware revision",
                                    "Scanner firmware date",
                                    "Scanner serial number",
                                    "Scanner pixel size (microns)",
                                    "Image workstation equipment manufacturer",
                                    "Photo finisher name",
                                    "Scene balance algorithm revision",
                                    "Scene balance algorithm command",
                                    "Scene balance algorithm film identification",
                                    "Copyright status",
                                    "Copyright file name",
                                    "Compression"};

const char* const kMedia[10] = {"color negative",
                                "color reversal",
                                "color hard copy",
                                "thermal hard copy",
                                "black and white negative",
                                "black and white reversal",
                                "black and white hard copy",
                                "internegative",
                                "synthetic image",
                                "chromogenic"};

const char* const kSBACommands[4] = {
    "neutral SBA on, color SBA on", "neutral SBA off, color SBA off",
    "neutral SBA on, color SBA off", "neutral SBA off, color SBA on"};

const char* const kCompressionClasses[4] = {"class 1 - 35mm film; pictoral hard copy",
                                            "class 2 - large format film",
                                            "class 3 - text and graphics, high resolution",
                                            "class 4 - text and graphics, high dynamic range"};

constexpr size_t kValueSize = 81;

const FilmRow* findFilm(int term) {
    for (const FilmRow& row : kFilms)
        if (row.term == term) return &row;
    return nullptr;
}

// A field of nothing but 0xFF bytes was never written: the value stays "-".
bool isUnset(const uint8_t* field, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (field[i] != 0xFF) return false;
    return true;
}

// Texts are ISO 646 or ISO 8859-1; they leave the decoder as UTF-8, with
// control characters shown as '?'.
void setText(char* value, const uint8_t* field, size_t n) {
    if (isUnset(field, n)) return;
    char text[kValueSize];
    pcdTrimCopy(text, field, n);
    std::string out;
    for (const char* c = text; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) {
            out += '?';
        } else if (byte < 0x80) {
            out += char(byte);
        } else {
            out += char(0xC0 | (byte >> 6));
            out += char(0x80 | (byte & 0x3F));
        }
    }
    std::snprintf(value, kValueSize, "%s", out.c_str());
}

// The standard 24-character local-time form, without its line end.
void setTime(char* value, uint32_t seconds) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = std::time_t(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return;
    std::snprintf(value, kValueSize, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[tm.tm_wday % 7],
                  months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  1900 + tm.tm_year);
}

}  // namespace

int pcdDecode::getFilmTerm(int* term, int* code1, int* code2) {
    const FilmRow* row = nullptr;
    if (header && std::memcmp(header.get() + 2273, "SBA", 3) == 0)
        row = findFilm(pcdBig16(header.get() + 2373));
    if (term) *term = row ? row->term : 0;
    if (code1) *code1 = row ? row->code1 : 0;
    if (code2) *code2 = row ? row->code2 : 0;
    return row ? row->code2 : 0;
}

void pcdDecode::getMetadata(int index, char* name, char* value) {
    if (!value) return;
    if (index < 0 || index > 19 || !header) {
        if (name) std::snprintf(name, kValueSize, "Error");
        std::snprintf(value, kValueSize, "Error");
        return;
    }
    if (name) std::snprintf(name, kValueSize, "%s", kItemNames[index]);
    const uint8_t* h = header.get();
    std::snprintf(value, kValueSize, "-");
    if (std::memcmp(h + 2048, "PCD_IPI", 7) != 0) return;
    const bool sba = std::memcmp(h + 2273, "SBA", 3) == 0;
    switch (index) {
        case 0:
        case 1: {
            const uint8_t* p = h + (index == 0 ? 2055 : 2057);
            if (pcdBig32(p) != 65535 && !isUnset(p, 2))
                std::snprintf(value, kValueSize, "%d.%d", p[0], p[1]);
            break;
        }
        case 2:
        case 3: {
            const uint32_t seconds = pcdBig32(h + (index == 2 ? 2061 : 2065));
            if (seconds != 65535 && seconds != 0xFFFFFFFF) setTime(value, seconds);
            break;
        }
        case 4:
            if (h[2069] <= 9) std::snprintf(value, kValueSize, "%s", kMedia[h[2069]]);
            break;
        case 5:
            setText(value, h + 2070, 20);
            break;
        case 6:
            setText(value, h + 2090, 20);
            break;
        case 7:
            setText(value, h + 2110, 16);
            break;
        case 8:
            setText(value, h + 2126, 4);
            break;
        case 9:
            setText(value, h + 2130, 8);
            break;
        case 10:
            setText(value, h + 2138, 20);
            break;
        case 11:
            if (!isUnset(h + 2158, 2))
                std::snprintf(value, kValueSize, "%d%d.%d%d", h[2158] >> 4, h[2158] & 15,
                              h[2159] >> 4, h[2159] & 15);
            break;
        case 12:
            setText(value, h + 2160, 20);
            break;
        case 13:
            if (h[2180] <= 4) setText(value, h + 2213, 20);
            break;
        case 14:
            if (sba && !isUnset(h + 2276, 2))
                std::snprintf(value, kValueSize, "%d.%d", h[2276], h[2277]);
            break;
        case 15:
            if (sba && h[2278] < 4) std::snprintf(value, kValueSize, "%s", kSBACommands[h[2278]]);
            break;
        case 16:
            if (sba && !isUnset(h + 2373, 2)) {
                const FilmRow* row = findFilm(pcdBig16(h + 2373));
                std::snprintf(value, kValueSize, "%s", row ? row->name : "Unknown film");
            }
            break;
        case 17:
            std::snprintf(value, kValueSize, "%s",
                          h[2379] == 1 ? "Copyright restrictions apply - see copyright file on "
                                         "original CD-ROM for details"
                                       : "Copyright restrictions not specified");
            break;
        case 18:
            if (h[2379] == 1) setText(value, h + 2380, 12);
            break;
        case 19:
            std::snprintf(value, kValueSize, "%s", kCompressionClasses[compressionClass & 3]);
            break;
    }
}
