#include "FAskQuestion.h"
#include "FMakeSuggestion.h"
#include "FReportBug.h"
#include "FSendTestimonial.h"
#include "ScriptedHttpServer.h"
#include "TestHome.h"
#include "FeedbackPayload.h"
#include "Mnemonics.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <optional>

namespace {

struct Shown {
    QString prompt;
    int style = 0;
    bool formEnabled = true;
};

/// The text boxes of each form in the order they are checked, with the message for each.
QList<QPair<QString, int>> checkedFields(const QString &form)
{
    QList<QPair<QString, int>> fields{{QStringLiteral("txtName"), 136}, {QStringLiteral("txtEmail"), 137}};
    if (form == QLatin1String("FAskQuestion"))
        fields.append({QStringLiteral("txtQuestion"), 138});
    else if (form == QLatin1String("FMakeSuggestion"))
        fields.append({QStringLiteral("txtSuggestion"), 140});
    else if (form == QLatin1String("FReportBug"))
        fields.append({QStringLiteral("txtBug"), 142});
    else
        fields.append({{QStringLiteral("txtLocation"), 144}, {QStringLiteral("txtTestimonial"), 145}});
    return fields;
}

std::unique_ptr<FFeedbackForm> makeForm(const QString &name)
{
    if (name == QLatin1String("FAskQuestion"))
        return std::make_unique<FAskQuestion>();
    if (name == QLatin1String("FMakeSuggestion"))
        return std::make_unique<FMakeSuggestion>();
    if (name == QLatin1String("FReportBug"))
        return std::make_unique<FReportBug>();
    return std::make_unique<FSendTestimonial>();
}

void setText(QWidget *form, const QString &objectName, const QString &text)
{
    if (auto *line = form->findChild<QLineEdit *>(objectName))
        line->setText(text);
    else if (auto *box = form->findChild<QPlainTextEdit *>(objectName))
        box->setPlainText(text);
    else
        QFAIL(qPrintable(QStringLiteral("no text box ") + objectName));
}

}

class TestFeedbackForms : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
    }
    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_server = std::make_unique<ScriptedHttpServer>();
        m_server->setFallback({});   // the service answers 200 OK
        QVERIFY(m_server->listen());
        m_log = m_home->log();
        m_log->Trace(QStringLiteral("Start application"), QStringLiteral("FSplash.Form_Initialize"));
        m_shown.clear();
        m_current = nullptr;
    }
    void cleanup()
    {
        m_current = nullptr;
        m_server.reset();
        m_log.reset();
        m_home.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
    void emptyFieldStopsSend_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("empty");
        QTest::addColumn<int>("message");
        const QList<QPair<QString, QString>> forms{{QStringLiteral("FAskQuestion"), QStringLiteral("question")},
                                                   {QStringLiteral("FMakeSuggestion"), QStringLiteral("suggestion")},
                                                   {QStringLiteral("FReportBug"), QStringLiteral("bug")},
                                                   {QStringLiteral("FSendTestimonial"), QStringLiteral("testimonial")}};
        for (const auto &form : forms) {
            const auto fields = checkedFields(form.first);
            for (const auto &f : fields) {
                const QString row = form.second + QStringLiteral("-empty-") + f.first.mid(3).toLower();
                QTest::newRow(qPrintable(row)) << form.first << f.first << f.second;
            }
        }
    }
    void emptyFieldStopsSend()
    {
        QFETCH(QString, form);
        QFETCH(QString, empty);
        QFETCH(int, message);
        auto f = openForm(form);
        fillAll(f.get(), form);
        setText(f.get(), empty, QString());
        clickSend(f.get());
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(message));
        QVERIFY(!m_shown.first().prompt.isEmpty());
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Exclamation));
        QCOMPARE(m_server->connectionCount(), 0);
        QVERIFY(f->isVisible());
        QVERIFY(f->isEnabled());
        QCOMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : empty, empty);
    }
    void firstEmptyFieldInTableOrderWins()
    {
        auto f = openForm(QStringLiteral("FSendTestimonial"));
        clickSend(f.get());
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(136));
        setText(f.get(), QStringLiteral("txtName"), QStringLiteral("Ann"));
        setText(f.get(), QStringLiteral("txtTestimonial"), QStringLiteral("Great"));
        clickSend(f.get());
        QCOMPARE(m_shown.size(), 2);
        QCOMPARE(m_shown.last().prompt, MessageTable::Text(137));
        QCOMPARE(m_server->connectionCount(), 0);
    }
    void sendReportsSuccess_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("category");
        QTest::addColumn<int>("success");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("question") << "FAskQuestion" << "MU\\Question" << 147
                                  << QStringList{"name", "email", "question", "log"};
        QTest::newRow("suggestion") << "FMakeSuggestion" << "MU\\Suggestion" << 148
                                    << QStringList{"name", "email", "suggestion", "log"};
        QTest::newRow("bug") << "FReportBug" << "MU\\Bug" << 149 << QStringList{"name", "email", "bug", "log"};
        QTest::newRow("testimonial") << "FSendTestimonial" << "MU\\Testimonial" << 150
                                     << QStringList{"name", "email", "location", "testimonial", "agreed", "log"};
    }
    void sendReportsSuccess()
    {
        QFETCH(QString, form);
        QFETCH(QString, category);
        QFETCH(int, success);
        QFETCH(QStringList, sent);
        auto f = openForm(form);
        fillAll(f.get(), form);
        const auto fields = checkedFields(form);
        setText(f.get(), fields.last().first, QStringLiteral("a&b=c%+<é\nsecond line"));
        // With an address only sending is offered.
        QVERIFY(!f->findChild<QWidget *>(QStringLiteral("lblNoEndpoint"))->isVisible());
        QVERIFY(!f->findChild<QPushButton *>(QStringLiteral("cmdSave"))->isVisible());
        if (auto *agree = f->findChild<QCheckBox *>(QStringLiteral("chkAgree")))
            agree->setChecked(true);

        bool enabledWhileSending = true;
        int cursorWhileSending = -1;
        connect(m_server.get(), &ScriptedHttpServer::requestReceived, this, [&] {
            enabledWhileSending = f->isEnabled();
            const QCursor *c = QApplication::overrideCursor();
            cursorWhileSending = c ? int(c->shape()) : -1;
        });
        clickSend(f.get());

        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(!enabledWhileSending);
        QCOMPARE(cursorWhileSending, int(Qt::WaitCursor));
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(success));
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Information));
        QCOMPARE(f->result(), int(QDialog::Accepted));
        QVERIFY(!f->isVisible());

        const FeedbackPayload p = FeedbackPayload::Decode(m_server->requests().first().body);
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.category, category);
        QCOMPARE(p.fieldNames(), sent);
        QCOMPARE(p.field(QStringLiteral("name")), QStringLiteral("value of txtName"));
        QCOMPARE(p.field(sent.at(sent.size() - (form == QLatin1String("FSendTestimonial") ? 3 : 2))),
                 QStringLiteral("a&b=c%+<é\nsecond line"));
        if (form == QLatin1String("FSendTestimonial")) {
            QCOMPARE(p.field(QStringLiteral("location")), QStringLiteral("value of txtLocation"));
            QCOMPARE(p.field(QStringLiteral("agreed")), QStringLiteral("1"));
        }
        const QString log = p.field(QStringLiteral("log"));
        QVERIFY(log.contains(QStringLiteral("FSplash.Form_Initialize Start application")));
        QVERIFY(log.contains(form + QStringLiteral(".cmdSend_Click cmdSend_Click call")));
    }
    void serverErrorReportsFailure_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<int>("failure");
        QTest::newRow("question") << "FAskQuestion" << 139;
        QTest::newRow("suggestion") << "FMakeSuggestion" << 141;
        QTest::newRow("bug") << "FReportBug" << 143;
        QTest::newRow("testimonial") << "FSendTestimonial" << 146;
    }
    void serverErrorReportsFailure()
    {
        QFETCH(QString, form);
        QFETCH(int, failure);
        m_server->setFallback({500, "Internal Server Error"});
        auto f = openForm(form);
        fillAll(f.get(), form);
        clickSend(f.get());
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(failure));
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Exclamation));
        // The form stays open and usable for another try.
        QVERIFY(f->isVisible());
        QVERIFY(f->isEnabled());
        const QByteArray expected = " L4 " + QByteArray::number(MUError::engineNumber(523)) + ' ' + form.toUtf8()
            + ".cmdSend_Click Cannot contact. Internal Server Error\n";
        QVERIFY2(longLog().contains(expected), longLog().constData());
        QCOMPARE(MUError::engineNumber(523), qint32(0x8004020Bu));
    }
    void noEndpointOffersSave_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("category");
        QTest::addColumn<QStringList>("saved");
        QTest::newRow("question") << "FAskQuestion" << "MU\\Question" << QStringList{"name", "email", "question", "log"};
        QTest::newRow("testimonial") << "FSendTestimonial" << "MU\\Testimonial"
                                     << QStringList{"name", "email", "location", "testimonial", "agreed", "log"};
    }
    void noEndpointOffersSave()
    {
        QFETCH(QString, form);
        QFETCH(QString, category);
        QFETCH(QStringList, saved);
        auto f = openForm(form, QUrl());   // as the shipped configuration: no address
        // Said as the form opens, before anything is typed; saving is offered instead of sending.
        QVERIFY(f->findChild<QWidget *>(QStringLiteral("lblNoEndpoint"))->isVisible());
        QVERIFY(!f->findChild<QPushButton *>(QStringLiteral("cmdSend"))->isVisible());
        auto *save = f->findChild<QPushButton *>(QStringLiteral("cmdSave"));
        QVERIFY(save->isVisible());

        fillAll(f.get(), form);
        const QString file = QDir(m_home->path()).filePath(QStringLiteral("my report.zip"));
        f->setSaveFileChooser([&file](QWidget *, const QString &) { return file; });
        QTest::mouseClick(save, Qt::LeftButton);

        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Information));
        QVERIFY(m_shown.first().prompt.contains(file));
        QCOMPARE(f->result(), int(QDialog::Accepted));
        QCOMPARE(m_server->connectionCount(), 0);
        // The archive a send would have posted.
        QFile zip(file);
        QVERIFY(zip.open(QIODevice::ReadOnly));
        const FeedbackPayload p = FeedbackPayload::Decode("value=" + zip.readAll().toBase64().toPercentEncoding());
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.category, category);
        QCOMPARE(p.fieldNames(), saved);
        QCOMPARE(p.field(QStringLiteral("email")), QStringLiteral("value of txtEmail"));
        QVERIFY(p.field(QStringLiteral("log")).contains(QStringLiteral("FSplash.Form_Initialize Start application")));
        QCOMPARE(QDir(f->cl().workDir()).entryList(QDir::Files), QStringList());
    }
    void closingWhileSendingWaitsForTheAnswer()
    {
        auto f = openForm(QStringLiteral("FMakeSuggestion"));
        fillAll(f.get(), QStringLiteral("FMakeSuggestion"));
        bool stillOpen = false;
        connect(m_server.get(), &ScriptedHttpServer::requestReceived, this, [&] {
            f->reject();
            f->close();
            stillOpen = f->isVisible() && f->isSending();
        });
        clickSend(f.get());
        QVERIFY(stillOpen);
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(148));
        QCOMPARE(f->result(), int(QDialog::Accepted));
    }
    void cancelClosesWithoutSending()
    {
        auto f = openForm(QStringLiteral("FAskQuestion"));
        fillAll(f.get(), QStringLiteral("FAskQuestion"));
        auto *cancel = f->findChild<QPushButton *>(QStringLiteral("cmdCancel"));
        QVERIFY(cancel);
        QTest::mouseClick(cancel, Qt::LeftButton);
        QCOMPARE(f->result(), int(QDialog::Rejected));
        QVERIFY(!f->isVisible());
        QCOMPARE(m_server->connectionCount(), 0);
        QVERIFY(m_shown.isEmpty());
    }
    void everyShortcutLabelHasABuddy()
    {
        for (const QString &name : {QStringLiteral("FAskQuestion"), QStringLiteral("FMakeSuggestion"),
                                    QStringLiteral("FReportBug"), QStringLiteral("FSendTestimonial")}) {
            const std::unique_ptr<FFeedbackForm> form = makeForm(name);
            const QStringList bad = labelsWithoutBuddy(form.get());
            QVERIFY2(bad.isEmpty(), qPrintable(name + QStringLiteral(": ") + bad.join(QStringLiteral(", "))));
        }
    }
private:
    std::unique_ptr<FFeedbackForm> openForm(const QString &name, std::optional<QUrl> ep = {})
    {
        auto form = makeForm(name);
        recordMessages(form.get());
        form->setLog(m_log);
        form->cl().setEndpoint(ep.value_or(endpoint()));
        form->show();
        m_current = form.get();
        return form;
    }
    void fillAll(FFeedbackForm *form, const QString &name)
    {
        const auto fields = checkedFields(name);
        for (const auto &f : fields)
            setText(form, f.first, QStringLiteral("value of ") + f.first);
    }
    void clickSend(FFeedbackForm *form)
    {
        auto *send = form->findChild<QPushButton *>(QStringLiteral("cmdSend"));
        QVERIFY(send);
        QTest::mouseClick(send, Qt::LeftButton);
    }
    QByteArray longLog() const
    {
        QFile file(m_log->longLogPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    /// The form's message boxes are answered OK and kept in m_shown.
    void recordMessages(FFeedbackForm *form)
    {
        form->setMessageRoutine([this](QWidget *, const QString &prompt, int style) {
            m_shown.append({prompt, style, m_current ? m_current->isEnabled() : true});
            return 1;
        });
    }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ScriptedHttpServer> m_server;
    QUrl endpoint() const { return QUrl(m_server->url("/php/ic.php")); }
    LogPtr m_log;
    QList<Shown> m_shown;
    FFeedbackForm *m_current = nullptr;
};

QTEST_MAIN(TestFeedbackForms)
#include "tst_feedbackforms.moc"
