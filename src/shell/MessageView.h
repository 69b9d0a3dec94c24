#pragma once
#include <QHash>
#include <QImage>
#include <QSet>
#include <QTextBrowser>
#include <QUrl>

class QNetworkAccessManager;

/// Shows one stored message as its sender meant it: the HTML part when there is
/// one (never a script; pictures of the message itself shown; pictures from the
/// network only after loadRemoteImages), else the text part; a message that cannot
/// be decoded shows its raw text. Clicked links are handed out through
/// linkActivated, never followed inside the view. Main thread.
class MessageView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit MessageView(QWidget *parent = nullptr);

    /// Shows the stored message text `content` (the message as received).
    void showContent(const QString &content);
    /// Empties the view (nothing selected).
    void showBlank();
    /// Fetches the remote pictures the current message asked for and shows them.
    void loadRemoteImages();
    /// Addresses of remote pictures the current message asked for and did not get.
    QList<QUrl> blockedRemote() const { return m_blocked.values(); }
    /// What is shown, as the reader sees it (for reading the message aloud).
    QString visibleText() const { return toPlainText(); }
    /// True when the current message was shown as raw text (it could not be decoded).
    bool showingRaw() const { return m_raw; }

Q_SIGNALS:
    /// A link was clicked (other than a jump inside the message).
    void linkActivated(const QUrl &url);
    /// The message asks for pictures from the network that are not loaded.
    void remoteContentBlocked(int count);

protected:
    QVariant loadResource(int type, const QUrl &name) override;

private:
    void onAnchorClicked(const QUrl &url);
    void render();

    QString m_html;
    bool m_raw = false;
    bool m_allowRemote = false;
    QSet<QUrl> m_blocked;
    QHash<QUrl, QVariant> m_fetched;
    QNetworkAccessManager *m_network = nullptr;
    int m_pendingFetches = 0;
    quint64 m_generation = 0;
};
