#include "InputBlocker.h"

#include <QCoreApplication>
#include <QEvent>

CInputBlocker::CInputBlocker() { QCoreApplication::instance()->installEventFilter(this); }

CInputBlocker::~CInputBlocker() { QCoreApplication::instance()->removeEventFilter(this); }

bool CInputBlocker::eventFilter(QObject*, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}
