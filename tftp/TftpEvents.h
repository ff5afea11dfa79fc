#pragma once
// The events that stand in for the dialog's private window messages.

#include <QEvent>

#include "TftpTypes.h"

// Posted by an owner to itself to run one step of the engine.
inline constexpr QEvent::Type WM_TRANSFER_STEP = static_cast<QEvent::Type>(QEvent::User + 11);
// Sent synchronously by the socket to the owner when it meets a fault.
inline constexpr QEvent::Type WM_TFTP_NOTIFY = static_cast<QEvent::Type>(QEvent::User + 2);

inline constexpr int NOTIFY_FAULT = 2;

class CTftpNotifyEvent : public QEvent {
public:
    CTftpNotifyEvent(int nKind, TftpResult nCode) : QEvent(WM_TFTP_NOTIFY), m_nKind(nKind), m_nCode(nCode) {}
    int m_nKind;        // wParam: NOTIFY_FAULT
    TftpResult m_nCode; // lParam: the result code
};
