// The About box's widgets, its version line and the picture drawn for it.
#include "adminutil/UAbout.h"

#include "adminutil/UVers.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <exception>

namespace {

constexpr int PictureWidth = 65, PictureHeight = 68;

// The program's picture: a small bar chart on a transparent ground.
QPixmap DrawPicture() {
    QPixmap picture(PictureWidth, PictureHeight);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x20, 0x40, 0x80), 2));
    painter.setBrush(QColor(0xE8, 0xF0, 0xFF));
    painter.drawRoundedRect(QRectF(2, 2, PictureWidth - 4, PictureHeight - 4), 8, 8);
    const int heights[] = {18, 34, 26, 46};
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x30, 0x70, 0xC0));
    for (int i = 0; i < 4; ++i) painter.drawRect(QRectF(10 + i * 12, PictureHeight - 10 - heights[i], 9, heights[i]));
    return picture;
}

QLabel* MakeTitleLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.5);
    label->setFont(font);
    return label;
}

// The running program's version, or nothing.
QString OwnVersion() {
    try {
        QByteArray file = QFile::encodeName(QCoreApplication::applicationFilePath());
        return QString::fromStdString(GetFileVersionString(file.toStdString()));
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

TAboutBox::TAboutBox(QWidget* Owner) : QDialog(Owner) {
    setWindowTitle(QStringLiteral("Tallbrook"));
    setObjectName(QStringLiteral("AboutBox"));

    Label1 = MakeTitleLabel(QStringLiteral("Tallbrook utility"), this);
    Label2 = MakeTitleLabel(QStringLiteral("v"), this);
    lvers = MakeTitleLabel(QString(), this);
    Label3 = new QLabel(QStringLiteral("Made by the Kestrow web statistics team."), this);
    QString url = QString::fromLatin1(MakerURL);
    Label4 = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:blue; text-decoration:underline\">%1</a>")
                            .arg(url.toHtmlEscaped()),
                        this);
    Label4->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    Label4->setCursor(Qt::PointingHandCursor);
    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::HLine | QFrame::Raised);
    Image1 = new QLabel(this);
    Image1->setPixmap(DrawPicture());
    Image1->setFixedSize(PictureWidth, PictureHeight);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn1->setDefault(true);

    lvers->setText(OwnVersion());

    auto* version = new QHBoxLayout;
    version->setSpacing(0);
    version->addWidget(Label2);
    version->addWidget(lvers);
    version->addStretch();
    auto* texts = new QVBoxLayout;
    texts->addWidget(Label1);
    texts->addLayout(version);
    texts->addWidget(Label3);
    texts->addWidget(Label4);
    auto* top = new QHBoxLayout;
    top->addWidget(Image1, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(texts);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Bevel1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(Label4, &QLabel::linkActivated, this, &TAboutBox::FormClick);
    connect(BitBtn1, &QPushButton::clicked, this, &TAboutBox::BitBtn1Click);
}

void TAboutBox::FormClick() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(MakerURL))); }

void TAboutBox::BitBtn1Click() { accept(); }
