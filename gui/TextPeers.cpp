// The peers of the two text controls: the single-line edit and the log pane.
#include <climits>
#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMenu>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>
#include <optional>

#include "gui/Peers.h"

namespace portvale {

namespace {

// The model counts a text's characters in code points, QString in UTF-16 units.
int CodePointsIn(const QString& text, int units) {
    units = std::clamp(units, 0, static_cast<int>(text.size()));
    int count = 0;
    for (int i = 0; i < units; ++i)
        if (!text.at(i).isLowSurrogate()) ++count;
    return count;
}

int UnitsFor(const QString& text, int codePoints) {
    int i = 0;
    for (int n = 0; n < codePoints && i < text.size(); ++n)
        i += text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate() ? 2 : 1;
    return i;
}

// The key the model sees for a typed character, or none when the event types none
// the model can take. A key event carries one byte, the character of that code
// (Latin-1); a character beyond U+00FF has no such byte and goes on without one,
// to be refused with a clear message when it is sent.
std::optional<char> TypedKey(const QKeyEvent& event) {
    if (event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter) return '\r';
    // With Ctrl or Meta held the key is a shortcut (copy, select all), not typing.
    if (event.modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return std::nullopt;
    const QString text = event.text();
    if (text.size() != 1 || text.at(0).unicode() > 0xFF) return std::nullopt;
    return static_cast<char>(text.at(0).unicode());
}

Qt::Key KeyFor(char key) {
    switch (key) {
        case '\r': return Qt::Key_Return;
        case '\b': return Qt::Key_Backspace;
        case '\t': return Qt::Key_Tab;
        case '\x1b': return Qt::Key_Escape;
        default: break;
    }
    if (key >= 'a' && key <= 'z') return static_cast<Qt::Key>(Qt::Key_A + (key - 'a'));
    if (key >= ' ' && key <= '~') return static_cast<Qt::Key>(key);
    return Qt::Key_unknown;
}

// CR LF and a lone CR from data each end a line, as LF does.
QString DisplayText(const std::string& text) {
    QString display = QString::fromStdString(text);
    display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    display.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return display;
}

// Long enough to merge a burst of received blocks into one update, short enough
// to look immediate; never so long that the pane looks stuck.
constexpr int kPaneRefreshMs = 25;
constexpr int kPaneRefreshMaxMs = 500;

}  // namespace

// ---- single-line edit ----

EditPeer::EditPeer(TEdit* edit, QLineEdit* widget) : ControlPeer(edit, widget), edit_(edit) {
    connect(widget, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (!mirroring_) Input([&] { edit_->UserSetText(text.toStdString()); });
    });
    connect(widget, &QLineEdit::selectionChanged, this, [this] { ReportSelection(); });
    connect(widget, &QLineEdit::cursorPositionChanged, this, [this] { ReportSelection(); });
    widget->installEventFilter(this);
    Attach({TChange::Text, TChange::Selection});
}

void EditPeer::Mirror(TChange what) {
    QLineEdit* w = LineEdit();
    if (what == TChange::Text) {
        const QString text = QString::fromStdString(edit_->Text());
        if (w->text() != text) {
            mirroring_ = true;
            w->setText(text);
            mirroring_ = false;
        }
        // Setting the text also set the model's selection; Qt put its cursor elsewhere.
        ShowSelection();
    }
    if (what == TChange::Selection) ShowSelection();
}

void EditPeer::ShowSelection() {
    QLineEdit* w = LineEdit();
    const QString text = w->text();
    const int start = UnitsFor(text, edit_->SelStart());
    const int end = UnitsFor(text, edit_->SelStart() + edit_->SelLength());
    mirroring_ = true;
    if (end > start) {
        w->setSelection(start, end - start);
    } else {
        w->deselect();
        w->setCursorPosition(start);
    }
    mirroring_ = false;
}

void EditPeer::ReportSelection() {
    QLineEdit* w = LineEdit();
    if (mirroring_ || !w) return;
    const QString text = w->text();
    const int from = w->hasSelectedText() ? w->selectionStart() : w->cursorPosition();
    const int to = w->hasSelectedText() ? w->selectionEnd() : from;
    const int start = CodePointsIn(text, from);
    const int length = CodePointsIn(text, to) - start;
    Input([&] { edit_->UserSetSelection(start, length); });
}

bool EditPeer::eventFilter(QObject* watched, QEvent* event) {
    if (forwarding_ || watched != Widget() || event->type() != QEvent::KeyPress) return false;
    auto* keyEvent = static_cast<QKeyEvent*>(event);
    const std::optional<char> typed = TypedKey(*keyEvent);
    if (!typed) return false;
    // A handler that fails leaves the key unused, as a failed message handler did.
    char key = 0;
    Input([&] { key = edit_->KeyPress(*typed); });
    QWidget* w = Widget();
    if (!w || key == 0) return true;
    if (key == *typed) return false;
    // The handler chose another key: that one is typed instead.
    QKeyEvent replacement(QEvent::KeyPress, KeyFor(key), keyEvent->modifiers(),
                          QString(QChar(static_cast<unsigned char>(key))));
    forwarding_ = true;
    QCoreApplication::sendEvent(w, &replacement);
    forwarding_ = false;
    return true;
}

// ---- log pane ----

RichEditPeer::RichEditPeer(TRichEdit* edit, QPlainTextEdit* widget) : ControlPeer(edit, widget), edit_(edit) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    font.setBold(edit->BoldFont);
    widget->setFont(font);
    widget->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Tab moves on to the next control, as in the panes of the framework's forms.
    widget->setTabChangesFocus(true);
    widget->setReadOnly(edit->ReadOnly);
    // The model keeps the bounded history; an undo stack would keep every change
    // made to the pane, without bound.
    widget->setUndoRedoEnabled(false);
    const bool horizontal = edit->ScrollBars == TScrollStyle::ssHorizontal || edit->ScrollBars == TScrollStyle::ssBoth;
    const bool vertical = edit->ScrollBars == TScrollStyle::ssVertical || edit->ScrollBars == TScrollStyle::ssBoth;
    widget->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    widget->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (edit->PopupMenu) {
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(widget, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { ShowMenu(at); });
    }

    refresh_.setSingleShot(true);
    refresh_.setInterval(kPaneRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, [this] { Flush(); });
    connect(widget, &QPlainTextEdit::textChanged, this, [this] {
        if (!mirroring_) UserEdited();
    });
    // A user's edit must start from what the model holds, so a pending update is
    // applied before any input that may change the text.
    widget->installEventFilter(this);
    widget->viewport()->installEventFilter(this);
    Attach({TChange::Text});
    Flush();
}

QPlainTextEdit* RichEditPeer::Pane() const { return static_cast<QPlainTextEdit*>(Widget()); }

void RichEditPeer::Mirror(TChange what) {
    switch (what) {
        case TChange::Text:
            wholeText_ = true;
            ForgetPending();
            break;
        case TChange::LineAdded: {
            if (wholeText_) break;
            const std::size_t base = pendingLines_.size();
            for (const std::size_t start : edit_->LastAddedStarts()) pendingStarts_.push_back(base + start);
            pendingLines_ += edit_->LastAdded();
            pendingChars_ += edit_->LastAdded().size() + edit_->LastAddedStarts().size();
            break;
        }
        case TChange::TopLineExtended:
            if (wholeText_) break;
            (pendingStarts_.empty() ? pendingTop_ : pendingLines_) += edit_->LastAdded();
            pendingChars_ += edit_->LastAdded().size();
            break;
        case TChange::Trimmed:
            // The view trims itself to the same bound when it next takes lines.
            break;
        case TChange::CopyRequested:
            Copy();
            return;
        default:
            return;
    }
    // More than the pane keeps: setting the model's text is cheaper.
    if (pendingChars_ > edit_->Capacity()) {
        wholeText_ = true;
        ForgetPending();
    }
    // Not restarted while pending: a steady stream still gets shown.
    if (!refresh_.isActive()) refresh_.start(refreshMs_);
}

void RichEditPeer::ForgetPending() {
    pendingTop_.clear();
    pendingLines_.clear();
    pendingStarts_.clear();
    pendingChars_ = 0;
}

bool RichEditPeer::eventFilter(QObject*, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::InputMethod:
        case QEvent::Drop:
        case QEvent::ContextMenu:
        case QEvent::MouseButtonPress:
            if (refresh_.isActive()) Flush();
            break;
        default:
            break;
    }
    return false;
}

void RichEditPeer::Flush() {
    refresh_.stop();
    QPlainTextEdit* w = Pane();
    if (!w) return;
    QElapsedTimer cost;
    cost.start();
    mirroring_ = true;
    if (wholeText_) {
        w->setPlainText(DisplayText(edit_->Text()));
        wholeText_ = false;
        docEmpty_ = edit_->Empty();
    } else if (!pendingTop_.empty() || !pendingStarts_.empty()) {
        // Only the top line, the new lines above it and the oldest text at the
        // bottom are touched, so an update costs the burst, not the history.
        QTextDocument* document = w->document();
        QTextCursor cursor(document);
        cursor.beginEditBlock();
        if (!pendingTop_.empty()) {
            cursor.setPosition(0);
            cursor.movePosition(QTextCursor::EndOfBlock);
            cursor.insertText(QString::fromStdString(pendingTop_));
        }
        if (!pendingStarts_.empty()) {
            // Newest line first, as the pane reads.
            std::string front;
            front.reserve(pendingLines_.size() + pendingStarts_.size());
            for (std::size_t i = pendingStarts_.size(); i-- > 0;) {
                const std::size_t end = i + 1 < pendingStarts_.size() ? pendingStarts_[i + 1] : pendingLines_.size();
                front.append(pendingLines_, pendingStarts_[i], end - pendingStarts_[i]);
                if (i > 0 || !docEmpty_) front.push_back('\n');
            }
            cursor.setPosition(0);
            cursor.insertText(QString::fromStdString(front));
            docEmpty_ = false;
        }
        const auto limit = static_cast<int>(std::min<std::size_t>(edit_->Capacity(), INT_MAX / 2));
        if (document->characterCount() - 1 > limit) {
            cursor.setPosition(limit);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        cursor.endEditBlock();
    }
    ForgetPending();
    mirroring_ = false;
    // A pane that costs much to update is updated less often, so that a fast stream
    // leaves the thread to the bridge rather than to the pane's layout.
    refreshMs_ = std::clamp(static_cast<int>(cost.elapsed()) * 10, kPaneRefreshMs, kPaneRefreshMaxMs);
}

void RichEditPeer::Copy() {
    QPlainTextEdit* w = Pane();
    if (!w) return;
    Flush();
    if (w->textCursor().hasSelection())
        w->copy();
    else
        QGuiApplication::clipboard()->setText(w->toPlainText());
}

void RichEditPeer::ShowMenu(const QPoint& at) {
    QPlainTextEdit* w = Pane();
    if (!w || !edit_->PopupMenu) return;
    Flush();
    QMenu menu(w);
    std::vector<std::pair<QAction*, TMenuItem*>> actions;
    for (TMenuItem* item : edit_->PopupMenu->Items()) {
        QAction* action = menu.addAction(QString::fromStdString(item->Caption()));
        action->setObjectName(QString::fromStdString(item->Caption()));
        action->setCheckable(item->AutoCheck);
        action->setChecked(item->Checked);
        actions.emplace_back(action, item);
    }
    QAction* chosen = menu.exec(w->viewport()->mapToGlobal(at));
    for (const auto& [action, item] : actions)
        if (action == chosen) Input([item = item] { item->Click(); });
}

void RichEditPeer::UserEdited() {
    QPlainTextEdit* w = Pane();
    if (!w) return;
    const std::string text = w->toPlainText().toStdString();
    Input([&] { edit_->UserSetText(text); });
}

}  // namespace portvale
