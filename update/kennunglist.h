// The OEM ids the KENNUNG list knows, with their texts in list order: one table for the window's list
// and the command-line tool.
#pragma once

struct KennungEntry {
    int key;
    const char* text;
};

// -1 stands for "not reported yet".
inline constexpr KennungEntry kKennungEntries[] = {
    {0, "0 Test"},     {1, "1 VSKSONIC"},  {2, "2 BOOTLOADER"}, {11, "11 KORVAL"},   {12, "12 TINSEM"},
    {13, "13 PALURO"}, {14, "14 VEXTON"},  {15, "15 GRAMIKO"},  {16, "16 SOLVEIR"},  {17, "17 NUPTAR"},
    {18, "18 ZELMOR"}, {19, "19 FARQUIN"}, {20, "20 Bridvel"},  {-1, "-----------"},
};

// The list text of an OEM id, or nullptr when the list has no entry with that key.
constexpr const char* KennungText(int key) {
    for (const KennungEntry& e : kKennungEntries)
        if (e.key == key)
            return e.text;
    return nullptr;
}
