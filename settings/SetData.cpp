#include "SetData.h"

#include <new>
#include <utility>

#include "SettingsFile.h"
#include "StringTable.h"
#include "WaitCursor.h"

CSetData* g_pSetData = nullptr;

CSetData::CSetData()
    : m_strFileTag(LoadString(IDS_FILE_TAG))
{
    Load();
}

CSetData::~CSetData()
{
    if (m_bModified)
        Save();
}

CSetData* CSetData::CreateObject()
{
    return new (std::nothrow) CSetData;
}

std::filesystem::path CSetData::GetFileName() const
{
    return LoadString(AFX_IDS_APP_TITLE) + m_strFileTag + ".dat";
}

bool CSetData::Load()
{
    CWaitCursor waitCursor;
    m_bKeepUnreadFile = false;
    try {
        const std::filesystem::path name = GetFileName();
        SettingsFileContents file = ReadSettingsFile(name);
        // Only a file that is not there is created. One that is there but cannot be read (no
        // permission, a folder of that name, locked) is left exactly as it is.
        if (file.nStatus == SettingsFileStatus::Missing) {
            ClearAddressList();
            Save();
            file = ReadSettingsFile(name);
        }
        if (file.nStatus == SettingsFileStatus::Read) {
            const RecordsStatus nStatus = Deserialize(file.bytes);
            // A file that ends early, or holds an impossible length, keeps the records before the
            // damage, and the next save writes it whole again. But a record that runs past the part
            // we read is not damage we can judge: the file is far larger than any we write, so it
            // is treated as not ours.
            if (nStatus == RecordsStatus::Complete || !file.bCut)
                return true;
        }
        if (file.nStatus != SettingsFileStatus::Missing)
            m_bKeepUnreadFile = true;
    } catch (const std::exception&) {
        // Memory ran out while reading: as good as unreadable.
        m_bKeepUnreadFile = true;
    }
    ClearAddressList();
    m_strFolder.clear();
    return false;
}

void CSetData::Save()
{
    if (m_bKeepUnreadFile)
        return;
    CWaitCursor waitCursor;
    try {
        const std::vector<std::uint8_t> bytes = Serialize();
        ReplaceSettingsFile(GetFileName(), bytes);
    } catch (const std::exception&) {
        // Runs from the destructor too: a failed save is silent and leaves the old file.
    }
}

std::vector<std::uint8_t> CSetData::Serialize() const
{
    SettingsRecordArray strRecords;
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        strRecords[i] = m_strAddrHistory[i];
    strRecords[10] = m_strLastAddr;
    strRecords[11] = m_strFolder;
    return WriteRecords(strRecords);
}

RecordsStatus CSetData::Deserialize(std::span<const std::uint8_t> bytes)
{
    RecordsReadResult result = ReadRecords(bytes);
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        m_strAddrHistory[i] = std::move(result.strRecords[i]);
    m_strLastAddr = std::move(result.strRecords[10]);
    m_strFolder = std::move(result.strRecords[11]);
    return result.nStatus;
}

void CSetData::GetAddressList(AddressList& strList) const
{
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        strList[i] = m_strAddrHistory[i];
    strList[ADDRESS_HISTORY_SIZE] = m_strLastAddr;
}

void CSetData::SetAddressList(const AddressList& strList)
{
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        m_strAddrHistory[i] = strList[i];
    m_strLastAddr = strList[ADDRESS_HISTORY_SIZE];
    m_bModified = true;
}

void CSetData::ClearAddressList()
{
    for (std::string& strAddr : m_strAddrHistory)
        strAddr.clear();
    m_strLastAddr.clear();
}
