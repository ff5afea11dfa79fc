#pragma once
// The only code that touches the user's local file: a thin file object in the manner of the
// framework's file class, whose failures are results rather than exceptions.
// (Filled in with the file side of the engine.)

class CLocalFile {
public:
    CLocalFile() = default;
    ~CLocalFile();
    CLocalFile(const CLocalFile&) = delete;
    CLocalFile& operator=(const CLocalFile&) = delete;

    void Abort();
    bool IsOpen() const { return m_nHandle >= 0; }

private:
    int m_nHandle = -1;
};
