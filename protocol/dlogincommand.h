#pragma once

#include "engine/dcommand.h"
#include "protocol/danswerparser.h"

// The two requests that open the work with the service. In its startup mode it announces the
// client and learns where uploads go; in its login mode it checks the account, takes its
// permissions and upload cap and lists the root folder.
class DLoginCommand : public DCommand
{
    Q_OBJECT
public:
    explicit DLoginCommand(QObject* parent = nullptr);

    int commandType() const override { return CmdLogin; }
    bool parseResult(QString& out) override;
    void finish(bool announce) override;

    bool isStartup() const { return m_startup; }
    void setStartup(bool startup) { m_startup = startup; }

    // Accepted upload caps in KB/s; anything else means no cap.
    static constexpr int MinUploadCap = 100;
    static constexpr int MaxUploadCap = 20000;
    // The cap that a "max_usp" text gives: its value when within the limits, else 0.
    static int uploadCapFrom(const QString& text);

protected:
    // The answer is read on the worker that fetched it.
    void run() override;

private:
    void applyAccountAnswer();
    void applyLoginValues();
    void applyStartupValues();
    void reportFailure();

    bool m_startup = true;
    DAnswerParser::Account m_answer;
};
