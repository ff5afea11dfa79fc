#pragma once
// The settings object: the router addresses of successful transfers (a history of up to ten, oldest
// first, plus the most recent one) and the folder of the local file last chosen, kept from one run
// to the next in "Velnor ClientV090.dat" in the current directory.
//
// The transfer dialog creates the one object when it is constructed (which reads the file, or
// creates it when there is none), hands the address list and the folder back after each successful
// transfer, and deletes the object when it is destroyed (which writes the file if anything was
// handed back). Strings hold UTF-8 bytes and are compared byte for byte; nothing here checks them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "SettingsRecords.h"

inline constexpr std::size_t ADDRESS_HISTORY_SIZE = 10;
// The history followed by the last address, handled as one block.
inline constexpr std::size_t ADDRESS_LIST_SIZE = ADDRESS_HISTORY_SIZE + 1;
using AddressList = std::array<std::string, ADDRESS_LIST_SIZE>;

class CSetData {
public:
    // Loads the file at once; the values are empty when it cannot be read.
    CSetData();
    // Writes the file when the address list was handed over during the run.
    virtual ~CSetData();

    CSetData(const CSetData&) = delete;
    CSetData& operator=(const CSetData&) = delete;

    // Allocates and constructs one (and so loads the file); null when memory runs out.
    static CSetData* CreateObject();

    // Reads the file into the object, creating it first when there is none. False when the values
    // could not be read and stay empty.
    bool Load();
    // Writes the object to the file, replacing its contents in one step. Says nothing on failure:
    // the values stay in memory and the file stays as it was.
    void Save();

    // The file's bytes for the current values (records 1 to 10 the history, 11 the last address, 12
    // the folder).
    std::vector<std::uint8_t> Serialize() const;
    // Takes the values from the file's bytes. Records that are not complete in the bytes become
    // empty; the complete ones before them are kept.
    RecordsStatus Deserialize(std::span<const std::uint8_t> bytes);

    void GetAddressList(AddressList& strList) const;
    // The only operation that marks the object modified.
    void SetAddressList(const AddressList& strList);
    // Empties the address list; the folder and the modified mark stay as they are.
    void ClearAddressList();

    // "Velnor ClientV090.dat": the application title, the file tag and ".dat", relative to the
    // current directory.
    std::filesystem::path GetFileName() const;

    // The folder of the local file last chosen, up to and including its last separator. The
    // dialog reads and assigns it directly.
    std::string m_strFolder;
    bool m_bModified = false;
    std::string m_strAddrHistory[ADDRESS_HISTORY_SIZE];
    std::string m_strLastAddr;
    std::string m_strFileTag;

private:
    // Set when a file of our name exists but could not be read or understood at start-up: it may
    // be someone else's or a later version's, so it is never written over.
    bool m_bKeepUnreadFile = false;
};

// The one settings object of the run; set by the transfer dialog, which owns it.
extern CSetData* g_pSetData;
