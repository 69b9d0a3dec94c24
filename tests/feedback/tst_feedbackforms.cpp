#include "FAskQuestion.h"
#include "FMakeSuggestion.h"
#include "FReportBug.h"
#include "FSendTestimonial.h"
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
#include <algorithm>
#include <optional>

namespace {

struct Shown {
    QString prompt;
    int style = 0;
};

/// What each form is: its class, its category, the text boxes checked in order with the
/// message for an empty one, the messages after a send, and the fields it sends.
struct FormSpec
{
    QString name;
    QString category;
    QList<QPair<QString, int>> checked;
    int sent = 0;
    int failed = 0;
    QStringList fields;
};

const QList<FormSpec> &forms()
{
    static const QList<FormSpec> all{
        {"FAskQuestion", "MU\\Question", {{"txtName", 136}, {"txtEmail", 137}, {"txtQuestion", 138}}, 147, 139,
         {"name", "email", "question", "log"}},
        {"FMakeSuggestion", "MU\\Suggestion", {{"txtName", 136}, {"txtEmail", 137}, {"txtSuggestion", 140}}, 148, 141,
         {"name", "email", "suggestion", "log"}},
        {"FReportBug", "MU\\Bug", {{"txtName", 136}, {"txtEmail", 137}, {"txtBug", 142}}, 149, 143,
         {"name", "email", "bug", "log"}},
        {"FSendTestimonial", "MU\\Testimonial",
         {{"txtName", 136}, {"txtEmail", 137}, {"txtLocation", 144}, {"txtTestimonial", 145}}, 150, 146,
         {"name", "email", "location", "testimonial", "agreed", "log"}},
    };
    return all;
}

const FormSpec &spec(const QString &name)
{
    return *std::find_if(forms().cbegin(), forms().cend(), [&name](const FormSpec &f) { return f.name == name; });
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
        m_svc.emplace();
        QVERIFY(m_svc->start());
        m_log = m_svc->home.log();
        m_log->Trace(QStringLiteral("Start application"), QStringLiteral("FSplash.Form_Initialize"));
        m_shown.clear();
    }
    void cleanup()
    {
        m_log.reset();
        m_svc.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
    void fieldsCheckedInOrderThenSent_data()
    {
        QTest::addColumn<QString>("form");
        for (const FormSpec &f : forms())
            QTest::newRow(qPrintable(f.name)) << f.name;
    }
    void fieldsCheckedInOrderThenSent()
    {
        // Each Send stops at the first empty box, says why and puts the cursor there; once all
        // are filled a refusal is said and logged, and the next try sends the form's category
        // and fields with the form disabled under the busy pointer.
        QFETCH(QString, form);
        const FormSpec &fs = spec(form);
        auto f = openForm(form);
        QVERIFY2(labelsWithoutBuddy(f.get()).isEmpty(), qPrintable(labelsWithoutBuddy(f.get()).join(", ")));
        // With an address only sending is offered.
        QVERIFY(!f->findChild<QWidget *>(QStringLiteral("lblNoEndpoint"))->isVisible());
        QVERIFY(!f->findChild<QPushButton *>(QStringLiteral("cmdSave"))->isVisible());
        for (const auto &[box, message] : fs.checked) {
            m_shown.clear();
            clickSend(f.get());
            QCOMPARE(m_shown.size(), 1);
            QCOMPARE(m_shown.first().prompt, MessageTable::Text(message));
            QCOMPARE(m_shown.first().style, int(FFeedbackForm::Exclamation));
            QVERIFY(f->isVisible() && f->isEnabled());
            QCOMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : box, box);
            setText(f.get(), box, QStringLiteral("value of ") + box);
        }
        if (auto *agree = f->findChild<QCheckBox *>(QStringLiteral("chkAgree")))
            agree->setChecked(true);
        QCOMPARE(m_svc->server.connectionCount(), 0);
        bool enabledWhileSending = true;
        int cursorWhileSending = -1;
        connect(&m_svc->server, &ScriptedHttpServer::requestReceived, f.get(), [&] {
            enabledWhileSending = f->isEnabled();
            const QCursor *c = QApplication::overrideCursor();
            cursorWhileSending = c ? int(c->shape()) : -1;
        });
        m_svc->server.setFallback({500, "Internal Server Error"});
        m_shown.clear();
        clickSend(f.get());
        QVERIFY(f->isVisible() && f->isEnabled());
        const QByteArray refused = " L4 " + QByteArray::number(MUError::engineNumber(523)) + ' ' + form.toLatin1()
            + ".cmdSend_Click Cannot contact. Internal Server Error\n";
        QVERIFY2(longLog().contains(refused), longLog().constData());
        m_svc->server.setFallback({});
        clickSend(f.get());
        QVERIFY(!enabledWhileSending);
        QCOMPARE(cursorWhileSending, int(Qt::WaitCursor));
        QVERIFY(!f->isVisible());
        QCOMPARE(m_shown.size(), 2);
        QCOMPARE(m_shown.first().prompt, MessageTable::Text(fs.failed));
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Exclamation));
        QCOMPARE(m_shown.last().prompt, MessageTable::Text(fs.sent));
        QCOMPARE(m_shown.last().style, int(FFeedbackForm::Information));
        QCOMPARE(f->result(), int(QDialog::Accepted));
        const FeedbackPayload p = FeedbackPayload::Decode(m_svc->server.requests().last().body);
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.category, fs.category);
        QCOMPARE(p.fieldNames(), fs.fields);
        for (const auto &[box, message] : fs.checked)
            QCOMPARE(p.field(box.mid(3).toLower()), QStringLiteral("value of ") + box);
        if (fs.fields.contains(QStringLiteral("agreed")))
            QCOMPARE(p.field(QStringLiteral("agreed")), QStringLiteral("1"));
        QVERIFY(p.field(QStringLiteral("log")).contains(form + QStringLiteral(".cmdSend_Click cmdSend_Click call")));
    }
    void noEndpointOffersSave()
    {
        const QString form = QStringLiteral("FAskQuestion");
        auto f = openForm(form, QUrl());   // as the shipped configuration: no address
        // Said as the form opens, before anything is typed; saving is offered instead of sending.
        QVERIFY(f->findChild<QWidget *>(QStringLiteral("lblNoEndpoint"))->isVisible());
        QVERIFY(!f->findChild<QPushButton *>(QStringLiteral("cmdSend"))->isVisible());
        auto *save = f->findChild<QPushButton *>(QStringLiteral("cmdSave"));
        QVERIFY(save->isVisible());

        fillAll(f.get(), form);
        const QString file = QDir(m_svc->home.path()).filePath(QStringLiteral("my report.zip"));
        f->setSaveFileChooser([&file](QWidget *, const QString &) { return file; });
        QTest::mouseClick(save, Qt::LeftButton);

        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown.first().style, int(FFeedbackForm::Information));
        QVERIFY(m_shown.first().prompt.contains(file));
        QCOMPARE(f->result(), int(QDialog::Accepted));
        QCOMPARE(m_svc->server.connectionCount(), 0);
        // The archive a send would have posted.
        QFile zip(file);
        QVERIFY(zip.open(QIODevice::ReadOnly));
        const FeedbackPayload p = FeedbackPayload::Decode("value=" + zip.readAll().toBase64().toPercentEncoding());
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.category, spec(form).category);
        QCOMPARE(p.field(QStringLiteral("email")), QStringLiteral("value of txtEmail"));
        QVERIFY(p.field(QStringLiteral("log")).contains(QStringLiteral("FSplash.Form_Initialize Start application")));
        QCOMPARE(QDir(f->cl().workDir()).entryList(QDir::Files), QStringList());
    }
    void cancelClosesButWaitsForASend()
    {
        auto f = openForm(QStringLiteral("FMakeSuggestion"));
        fillAll(f.get(), QStringLiteral("FMakeSuggestion"));
        QTest::mouseClick(f->findChild<QPushButton *>(QStringLiteral("cmdCancel")), Qt::LeftButton);
        QCOMPARE(f->result(), int(QDialog::Rejected));
        QVERIFY(!f->isVisible());
        QCOMPARE(m_svc->server.connectionCount(), 0);
        QVERIFY(m_shown.isEmpty());

        f->show();
        bool stillOpen = false;
        connect(&m_svc->server, &ScriptedHttpServer::requestReceived, this, [&] {
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
private:
    std::unique_ptr<FFeedbackForm> openForm(const QString &name, std::optional<QUrl> ep = {})
    {
        auto form = makeForm(name);
        // Message boxes are answered OK and kept in m_shown.
        form->setMessageRoutine([this](QWidget *, const QString &prompt, int style) {
            m_shown.append({prompt, style});
            return 1;
        });
        form->setLog(m_log);
        form->cl().setEndpoint(ep.value_or(m_svc->endpoint()));
        form->show();
        return form;
    }
    void fillAll(FFeedbackForm *form, const QString &name)
    {
        for (const auto &f : spec(name).checked)
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

    std::optional<FeedbackService> m_svc;
    LogPtr m_log;
    QList<Shown> m_shown;
};

QTEST_MAIN(TestFeedbackForms)
#include "tst_feedbackforms.moc"
