// The French message table and the two dialog templates: every quoted text
// byte for byte as the stub holds it after loading (Windows-1252), the
// templates field by field, the loader's guards and failures, the code-page
// conversions, and the generated data against a fresh generation.
#include <gtest/gtest.h>
#include <iconv.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "failure/failure.h"
#include "platform/posix/codepage.h"
#include "resources/message_data.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "support/codec_control.h"
#include "support/fake_platform.h"
#include "support/files.h"

namespace {

#define NBSP "\u00A0"

// UTF-8 (Latin-1 characters only) to the single bytes of Windows-1252.
std::string Ansi(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned char c = utf8[i];
        if (c < 0x80) out += (char)c;
        else out += (char)(((c & 0x03) << 6) | (utf8[++i] & 0x3F));
    }
    return out;
}

// The stream as zlib decodes it; it must end within 64 KiB.
std::string ZlibInflate(const uint8_t* stream, uint32_t length) {
    Bytes out;
    EXPECT_EQ(ZlibInflateInto(stream, length, 1 << 16, &out), Z_STREAM_END);
    return AsString(out);
}

// Blocks the loader holds: the fake's allocations, minus releases.
int liveBlocks = 0;
void* (*nextAllocate)(uint32_t) = nullptr;
void (*nextRelease)(void*) = nullptr;
void* CountedAllocate(uint32_t size) {
    void* block = nextAllocate(size);
    if (block) liveBlocks++;
    return block;
}
void CountedRelease(void* block) {
    liveBlocks--;
    nextRelease(block);
}

class Messages : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        nextAllocate = sfxPlatform.allocate;
        nextRelease = sfxPlatform.release;
        sfxPlatform.allocate = CountedAllocate;
        sfxPlatform.release = CountedRelease;
        state.window = AllocateWindow();
        state.input.data = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
        liveBlocks = 0;
    }
    void TearDown() override {
        if (state.messageTable) sfxPlatform.release(state.messageTable);
        ReleaseWindow(state.window);
        sfxPlatform.release(state.input.data);
        RestoreRealPlatform();
    }
    // Loads stream; true when it ended in the header-corrupt error.
    bool LoadFails(const std::string& stream) {
        bool ended = EndsProcess([&] { LoadMessageStream((const uint8_t*)stream.data(), (uint32_t)stream.size()); });
        if (ended) {
            EXPECT_EQ(fake.boxes.back().text, kHeaderCorruptText);
        }
        return ended;
    }
    std::string Text(int index) {
        if (!state.messageTable) LoadMessages();
        return MessageText(index);
    }
};

TEST_F(Messages, QuotedTextsAreExactAfterLoading) {
    const struct { int index; const char* utf8; } quoted[] = {
        {0, "L'auto-extractible est incomplet.\nVeuillez recréer le fichier et recommencer."},
        {1, "Veuillez insérer le disque %d dans le lecteur %s."},
        {2, "Veuillez insérez le dernier disque du jeu dans le lecteur %s."},
        {4, "Il n'y a pas de disque dans le\nlecteur ou le label est incorrect.\nVeuillez insérer le disque %d."},
        {5, "Mot de passe absent"}, {6, "Mot de passe incorrect"}, {7, "NOAUTO"}, {8, "Installation"}, {9, "AUTO"},
        {10, "Ce fichier auto-extractible 32" NBSP "bits nécessite Windows 95, 98, NT ou 2000."},
        {11, "Abandonner la décompression" NBSP "\r"},
        {13, "Abandon de la décompression"},
        {16, "Le fichier %s existe déjà. Ecraser le fichier" NBSP "\r"},
        {17, "Aucun dossier spécifié."},
        {21, "%d fichier(s) décompressé(s) avec succès"},
        {22, "Pour décompresser tous les fichiers de %s dans le dossier spécifié, appuyez sur le bouton Décompresser."},
        {28, "Impossible de créer le fichier de sortie" NBSP ": %s"},
        {29, "méthode de compression non prise en charge"},
        {30, "ZIP endommagé" NBSP ": fichier %s" NBSP ": Mauvais CRC %08lx (devrait être %08lx). Cause possible" NBSP
             ": erreur de transfert de fichier."},
        {31, "En-tête ZIP non valide. Cause possible" NBSP ": erreur de transfert de fichier."},
        {32, "Impossible de créer «" NBSP "%s" NBSP "» - décompression annulée."},
        {34, "Décompression de %s"},
        {35, "Erreur en écriture de %s. Cause possible" NBSP ": disque plein."},
        {36, "Erreur en lecture de %s. Cause possible" NBSP ": mauvais disque ou erreur de transfert de fichier."},
        {37, "Erreur E/S du fichier. Cause possible" NBSP ": erreur de transfert de fichier."},
        {38, "Pour décompresser tous les fichiers de %s, appuyez sur le bouton Décompresser. Les fichiers seront "
             "extraits dans le dossier spécifié dans le champ Décompresser dans dossier. S'il n'existe pas, ce "
             "dossier sera créé.\n\nVous pouvez aussi décompresser ce fichier avec un utilitaire standard tel que "
             "Kelvra."},
        {39, "Le fichier est endommagé ou tronqué, ou a été modifié depuis sa création. Si vous avez téléchargé ce "
             "fichier, essayez de le récupérer de nouveau."},
        {40, "Le programme %s sera exécuté après la décompression."},
        {41, "Impossible d'exécuter le programme «" NBSP "%s" NBSP "»."},
        {45, "Le lecteur %s n'est pas valide, la décompression a été annulée."},
        {48, "Décompresser dans Dossier" NBSP ":\r"},
        {49, "TEMP"},
        {50, "L'archive Zip contient des noms de fichiers trop longs pour\nWindows. Kelvra Self-Extractor ne peut pas "
             "traiter cette\narchive."},
        {51, "ce fichier auto-extractible"},
    };
    for (const auto& q : quoted) EXPECT_EQ(Text(q.index), Ansi(q.utf8)) << "message " << q.index;

    // The bytes themselves, as the Parts name them.
    EXPECT_NE(Text(10).find("32\xA0" "bits"), std::string::npos);
    EXPECT_NE(Text(10).find("n\xE9" "cessite"), std::string::npos);
    EXPECT_NE(Text(1).find("ins\xE9rer "), std::string::npos);
    EXPECT_NE(Text(2).find("ins\xE9rez "), std::string::npos);
    EXPECT_NE(Text(30).find("%08lx"), Text(30).rfind("%08lx"));
    for (int index : {11, 16}) EXPECT_EQ(Text(index).substr(Text(index).size() - 2), "\xA0\r");

    // Ours to write: the archiver and a reserved address, nothing else.
    EXPECT_EQ(Text(27).rfind(Ansi("Impossible de trouver Kelvra sur votre système.\n\n"), 0), 0u);
    EXPECT_EQ(Text(27).substr(Text(27).size() - 18), "www.kelvra.example");
    EXPECT_NE(Text(43).find("Kelvra"), std::string::npos);
    EXPECT_NE(Text(43).find("www.kelvra.example"), std::string::npos);
}

TEST_F(Messages, TableLayout) {
    LoadMessages();
    ASSERT_NE(state.messageTable, nullptr);
    EXPECT_EQ(MessageText(0), (const char*)state.messageTable);
    const std::set<int> shown = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 13, 16, 17, 21, 22, 27, 28, 29, 30, 31, 32,
                                 34, 35, 36, 37, 38, 39, 40, 41, 43, 45, 48, 49, 50, 51};
    for (int i = 0; i < MSG_MAIN_DIALOG; i++) {
        EXPECT_EQ(messageOffsets[i + 1], messageOffsets[i] + strlen(MessageText(i)) + 1) << "entry " << i;
        EXPECT_EQ(shown.count(i) == 1, MessageText(i)[0] != 0) << "entry " << i;
    }
    EXPECT_EQ(messageOffsets[MSG_MAIN_DIALOG], mainTemplateOffset);
    EXPECT_LE(mainTemplateOffset + kMainTemplateCopySize, messageBlockSize - 2);
    EXPECT_LE(messageTableLength, messageBlockSize - 2);
    if (mainTemplateOffset + kMainTemplateCopySize <= 6379 && messageTableLength <= 6379) {
        EXPECT_EQ(messageBlockSize, 6381u);
    }

    // zlib as the control: the texts converted, the template untouched, the
    // rest zero up to the guards.
    std::string reference = ZlibInflate(messageTableStream, messageTableStreamLength);
    ASSERT_EQ(reference.size(), messageTableLength);
    PosixOemToAnsi(&reference[0], mainTemplateOffset);
    reference.resize(messageBlockSize - 2, '\0');
    reference += "\xDE\xAD";
    EXPECT_EQ(std::string((const char*)state.messageTable, messageBlockSize), reference);
}

// Win32 in-memory dialog templates, read back field by field.
struct Item {
    uint32_t style;
    int16_t x, y, cx, cy;
    uint16_t id;
    std::u16string className;  // "#130" for atom 0x0082
    std::u16string text;
};

struct Reader {
    const uint8_t* base;
    size_t pos = 0;
    bool paddingZero = true;
    uint16_t Word() { uint16_t v; memcpy(&v, base + pos, 2); pos += 2; return v; }
    uint32_t Dword() { uint32_t v; memcpy(&v, base + pos, 4); pos += 4; return v; }
    std::u16string String() { std::u16string s; for (uint16_t c; (c = Word()) != 0;) s += (char16_t)c; return s; }
    std::u16string Class() { return Word() == 0xFFFF ? u"#" + std::u16string(1, (char16_t)Word()) : (pos -= 2, String()); }
    void Align() { for (; pos % 4; pos++) paddingZero &= base[pos] == 0; }
};

void ExpectTemplate(const uint8_t* bytes, size_t length, size_t itemsEnd, uint32_t style, const int16_t rect[4],
                    const std::u16string& caption, const std::vector<Item>& expected) {
    Reader r{bytes};
    EXPECT_EQ(r.Dword(), style);
    EXPECT_EQ(r.Dword(), 0u);
    ASSERT_EQ(r.Word(), expected.size());
    for (int i = 0; i < 4; i++) EXPECT_EQ((int16_t)r.Word(), rect[i]);
    EXPECT_EQ(r.Word(), 0);  // no menu
    EXPECT_EQ(r.Word(), 0);  // the default dialog class
    EXPECT_EQ(r.String(), caption);
    EXPECT_EQ(r.Word(), 8);
    EXPECT_EQ(r.String(), u"MS Shell Dlg");
    for (const Item& e : expected) {
        r.Align();
        EXPECT_EQ(r.Dword(), e.style) << "item " << e.id;
        EXPECT_EQ(r.Dword(), 0u);
        int16_t got[4];
        for (int16_t& v : got) v = (int16_t)r.Word();
        EXPECT_TRUE(got[0] == e.x && got[1] == e.y && got[2] == e.cx && got[3] == e.cy) << "item " << e.id;
        EXPECT_EQ(r.Word(), e.id);
        EXPECT_TRUE(r.Class() == e.className) << "item " << e.id;
        EXPECT_TRUE(r.String() == e.text) << "item " << e.id;
        EXPECT_EQ(r.Word(), 0);  // no creation data
    }
    EXPECT_TRUE(r.paddingZero);
    EXPECT_EQ(r.pos, itemsEnd);
    for (size_t i = itemsEnd; i < length; i++) EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

TEST_F(Messages, DialogTemplates) {
    const std::u16string button = u"#\u0080", edit = u"#\u0081", label = u"#\u0082";
    const int16_t mainRect[4] = {94, 23, 234, 117};
    LoadMessages();
    // Read from the loaded table: the conversion of the texts left it as generated.
    ExpectTemplate((const uint8_t*)MessageText(MSG_MAIN_DIALOG), 698, 690, 0x90C800CC, mainRect, u"",
                   {{0x50020080, 6, 6, 162, 24, 101, label, u""},
                    {0x50020000, 6, 34, 95, 8, 105, label, u"Décompresser dans d&ossier: "},
                    {0x50810080, 6, 43, 108, 12, 106, edit, u""},
                    {0x50010000, 118, 42, 50, 14, 115, button, u"Pa&rcourir..."},
                    {0x50010003, 6, 59, 161, 10, 102, button, u"&Ecraser fichiers sans confirmation"},
                    {0x50010003, 6, 73, 166, 10, 111, button, u""},
                    {0x50010001, 174, 6, 58, 14, 1, button, u"&Décompresser"},
                    {0x50010000, 174, 24, 58, 14, 113, button, u"Exécuter &Kelvra"},
                    {0x50010000, 174, 42, 58, 14, 2, button, u"&Fermer"},
                    {0x50010000, 174, 60, 58, 14, 112, button, u"A &Propos"},
                    {0x50010000, 174, 78, 58, 14, 104, button, u"&Aide"},
                    {0x50020080, 6, 85, 162, 16, 103, label, u""},
                    {0x50020081, 0, 104, 230, 8, 109, label, u""},
                    {0x50800000, 6, 101, 218, 12, 201, u"meter", u""}});

    uint8_t block[kPasswordTemplateBlockSize];
    memset(block, 0x55, sizeof block);
    EXPECT_EQ(InflateEmbedded(passwordTemplateStream, passwordTemplateStreamLength, block, sizeof block), 0);
    EXPECT_EQ(state.outPtr, block + passwordTemplateLength);
    EXPECT_TRUE(state.memoryMode == 0 && state.input.next == nullptr && state.input.left == 0);
    const int16_t passwordRect[4] = {71, 71, 186, 80};
    ExpectTemplate(block, 458, 452, 0x90C800CC, passwordRect, u"Kelvra Self-Extractor - Mot de passe",
                   {{0x50020000, 6, 6, 174, 32, 401, label,
                     u"Ce fichier Zip auto-extractible est protégé par un mot de passe.\n\n"
                     u"Veuillez saisir le mot de &passe :"},
                    {0x508100A0, 6, 42, 174, 12, 402, edit, u""},
                    {0x50010001, 35, 60, 50, 14, 1, button, u"OK"},
                    {0x50010000, 101, 60, 50, 14, 2, button, u"Annuler"}});
}

TEST_F(Messages, GuardsAndFailures) {
    const uint32_t usable = messageBlockSize - 2;
    // Exactly the usable size passes; the guards stay.
    ASSERT_FALSE(LoadFails(Deflate(std::string(usable, 'x'), 9, 9)));
    EXPECT_EQ(state.messageTable[usable - 1], 'x');
    EXPECT_EQ(state.messageTable[usable], 0xDE);
    EXPECT_EQ(liveBlocks, 1);
    sfxPlatform.release(state.messageTable);
    state.messageTable = nullptr;

    // One byte more fails, even when the bytes that overflow equal the guards.
    for (const std::string& overlong : {std::string(usable + 1, 'x'), std::string(usable, 'x') + "\xDE",
                                        std::string(usable, 'x') + "\xDE\xAD", std::string(3 * usable, 'x')}) {
        EXPECT_TRUE(LoadFails(Deflate(overlong, 9, 9))) << overlong.size() << " bytes";
    }
    // A damaged or cut stream fails instead of leaving a table of holes.
    std::string table((const char*)messageTableStream, messageTableStreamLength);
    EXPECT_TRUE(LoadFails(table.substr(0, table.size() / 2)));
    EXPECT_TRUE(LoadFails("\x07"));  // a block of the reserved type
    EXPECT_TRUE(LoadFails(""));
    // Either block missing: the work block is the first allocation of a
    // load, the kept block its last (the inflater's tables come between).
    fake.allocations = 0;
    ASSERT_FALSE(LoadFails(table));
    const int keptAllocation = fake.allocations;
    sfxPlatform.release(state.messageTable);
    state.messageTable = nullptr;
    for (int failing : {1, keptAllocation}) {
        fake.allocations = 0;
        fake.failAllocation = failing;
        EXPECT_TRUE(LoadFails(table)) << "allocation " << failing;
    }
    EXPECT_EQ(state.messageTable, nullptr);
    EXPECT_EQ(liveBlocks, 0);
    EXPECT_EQ(state.memoryMode, 0);
}

TEST(CodePage, OemToAnsiAgreesWithIconvWhereBothHaveTheCharacter) {
    char all[256];
    for (int i = 0; i < 256; i++) all[i] = (char)i;
    PosixOemToAnsi(all, 256);
    iconv_t cd = iconv_open("CP1252", "CP850");
    ASSERT_NE(cd, (iconv_t)-1);
    int compared = 0;
    for (int i = 0; i < 256; i++) {
        char in = (char)i, out = 0, *inPtr = &in, *outPtr = &out;
        size_t inLeft = 1, outLeft = 1;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == (size_t)-1) continue;
        EXPECT_EQ((uint8_t)all[i], (uint8_t)out) << "byte " << i;
        compared++;
    }
    iconv_close(cd);
    EXPECT_GE(compared, 220);
    // The system's best fit where 1252 has no such character.
    EXPECT_EQ((uint8_t)all[0xB3], 0xA6);  // │
    EXPECT_EQ(all[0xC4], '-');            // ─
    EXPECT_EQ(all[0xDA], '+');            // ┌
    EXPECT_EQ(all[0xD5], 'i');            // ı
}

TEST(CodePage, AnsiToUtf8) {
    char out[64];
    EXPECT_EQ(AnsiToUtf8("d\xE9j\xE0\xA0:\x80\x9C", out, sizeof out), 14u);
    EXPECT_STREQ(out, "d\u00E9j\u00E0\u00A0:\u20AC\u0153");
    // Controls cannot reach the terminal; tab and line feed stay.
    AnsiToUtf8("\x1B[2J\ta\r\nb\x81\x7F", out, sizeof out);
    EXPECT_STREQ(out, "?[2J\ta\nb??");
    // Bounded, never half a character, and the length the whole text needs.
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(AnsiToUtf8("ab\xE9", out, 4), 4u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(AnsiToUtf8("ab\xE9", out, 0), 4u);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(AnsiToUtf8("ab\xE9", out, 5), 4u);
    EXPECT_STREQ(out, "ab\u00E9");
}

bool HasZipSignature(const std::string& bytes) {
    for (const char* sig : {"PK\x03\x04", "PK\x01\x02", "PK\x05\x06", "PK\x05\x05", "PK\x07\x08", "PK00"})
        if (bytes.find(sig, 0, 4) != std::string::npos) return true;
    return false;
}

TEST(Generator, CommittedDataIsAFreshGenerationWithoutZipSignatures) {
    std::string tool = "python3 " + ShellQuote(std::string(KVSFX_SOURCE_DIR) + "/tools/gen_messages.py");
    EXPECT_EQ(RunIn(".", tool + " --check").status, 0);
    EXPECT_FALSE(HasZipSignature(std::string((const char*)messageOffsets, sizeof messageOffsets) +
                                 std::string((const char*)messageTableStream, messageTableStreamLength) +
                                 std::string((const char*)passwordTemplateStream, passwordTemplateStreamLength)));

    // The generator refuses a source that breaks the table's rules.
    const std::string source = ReadFileBytes(std::string(KVSFX_SOURCE_DIR) + "/src/resources/messages.txt");
    const struct { const char* from; const char* to; } faults[] = {
        {"sortie\\_: %s", "sortie : %s"},             // ordinary blank before a colon
        {"32\\_bits", "32\u00A0bits"},                // invisible no-break space
        {"Mot de passe absent", "Mot de passe \u20AC"},  // no code page 850 byte
        {"5   MSG_PASSWORD_MISSING", "6   MSG_PASSWORD_MISSING"},  // index out of order
    };
    std::string dir = testing::TempDir();
    for (const auto& f : faults) {
        std::string text = source;
        ASSERT_NE(text.find(f.from), std::string::npos) << f.from;
        text.replace(text.find(f.from), strlen(f.from), f.to);
        WriteFileBytes(dir + "bad_messages.txt", text);
        std::remove((dir + "bad_data.cpp").c_str());
        EXPECT_NE(RunIn(".", tool + " --source " + dir + "bad_messages.txt --output " + dir + "bad_data.cpp").status, 0)
            << f.to;
        EXPECT_FALSE(Exists(dir + "bad_data.cpp")) << f.to;
    }
}

}  // namespace
