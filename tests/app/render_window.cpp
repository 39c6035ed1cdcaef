// Draws the window with a few regions selected and a short log, and saves the picture:
//   render_window <output.png>
// Run offscreen (QT_QPA_PLATFORM=offscreen); scripts/render-window.sh does both.

#include <QApplication>
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QListWidget>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>

#include "app/mainform.h"
#include "text/textfile.h"

namespace {

class SilentDialogs : public Dialogs {
 public:
  void Error(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void Info(const QString&) override {}
  bool Ask(const QString&) override { return false; }
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(AppTitle());
  if (argc < 2) {
    std::fprintf(stderr, "usage: render_window <output.png>\n");
    return 2;
  }

  QTemporaryDir dir;
  const QString folder = dir.path() + QLatin1Char('/');
  const QStringList regions = {
      QStringLiteral("Алтайский край=22$$$8276c6a1-1a86-4f0d-8920-aba34d4cc34a"),
      QStringLiteral("Амурская область=28$$$844a80d6-5e31-4017-b422-4d9c01e9942c"),
      QStringLiteral("Архангельская область=29$$$294277aa-e25d-428c-95ad-46719c4ddb44"),
      QStringLiteral("Белгородская область=31$$$639efe9d-3fc8-4438-8e70-ec4f2321f2a7"),
      QStringLiteral("Владимирская область=33$$$b8837188-39ee-4ff9-bc91-fcc9ed451bb3"),
      QStringLiteral("Волгоградская область=34$$$da051ec8-da2e-4a66-b542-473b8d221ab4"),
      QStringLiteral("Вологодская область=35$$$ed36085a-b2f5-454f-b9a9-1c9a678ee618"),
      QStringLiteral("Воронежская область=36$$$b756fe6b-bbd3-44d5-9302-5bfcc740f46e"),
      QStringLiteral("г. Москва=77$$$0c5b2444-70a0-4932-980c-b4dc0d3f02b5"),
      QStringLiteral("г. Санкт-Петербург=78$$$c2deb16a-0330-4f05-821f-1d09c93331e6"),
      QStringLiteral("Ивановская область=37$$$0824434b-4098-4a5f-9ab4-f6b7fe8bce95"),
      QStringLiteral("Калужская область=40$$$18133adf-90c2-438e-88c4-62c41656de70"),
      QStringLiteral("Костромская область=44$$$15784a67-8cea-425b-834a-6afe0e3ed61c"),
      QStringLiteral("Курская область=46$$$ee594d5e-30a9-40dc-b9f2-0add1be44ba1"),
      QStringLiteral("Московская область=50$$$29251dcf-00a1-4e34-98d4-5c47484a36d4"),
      QStringLiteral("Нижегородская область=52$$$88cd27e2-6a8a-4421-9718-719a28a0a088"),
      QStringLiteral("Новосибирская область=54$$$1ac46b49-3209-4814-b7bf-a509ea1aecd9"),
      QStringLiteral("Республика Татарстан=16$$$0c089b04-099e-4e0e-955a-6bf1ce525f1a"),
      QStringLiteral("Свердловская область=66$$$92b30014-4d52-4e2e-892d-928142b924bf"),
      QStringLiteral("Тверская область=69$$$61723327-1c20-42fe-8dfa-402638d9b396"),
      QStringLiteral("Ярославская область=76$$$a84b2ef4-db03-474b-b552-6229e801ae9b"),
  };
  const QStringList selected = {QStringLiteral("Владимирская область"),
                                QStringLiteral("Ивановская область"),
                                QStringLiteral("Тверская область")};
  if (!WriteLinesAnsi(folder + QStringLiteral("cities.txt"), regions) ||
      !WriteLinesAnsi(folder + QStringLiteral("selection.txt"), selected)) {
    std::fprintf(stderr, "cannot write the sample files\n");
    return 1;
  }

  TMainForm form(folder, HarvestSettings(), std::make_shared<SilentDialogs>());
  form.show();

  // A fixed moment and folder, so the picture only changes when the window does.
  const QDateTime start(QDate(2025, 3, 14), QTime(10, 15, 2));
  const QString dataFile = QStringLiteral("/home/user/orgharvester/data52340781.tab");
  const QStringList messages = {
      QStringLiteral(": Начинаем работу по заданным параметрам"),
      QStringLiteral(": Начинаем работу..."),
      QStringLiteral(": Данные будут записываться в файл ") + dataFile,
      QStringLiteral(": Включаем паузу"),
      QStringLiteral(": Отключаем паузу, продолжаем работу"),
  };
  int second = 0;
  for (const QString& message : messages)
    form.AddLogLine(LogTimeStamp(start.addSecs(second++ * 7)) + message);
  form.SetCounters(QStringLiteral("Найдено организаций: 412"),
                   QStringLiteral("Записано организаций: 157"));
  form.SetProgress(540, 205, QStringLiteral("205 из 540, осталось 335"));
  form.CitiesListBox->setCurrentRow(10, QItemSelectionModel::NoUpdate);
  form.LogsMemo->Flush();  // the log shows new lines in batches

  QApplication::processEvents();
  const QPixmap picture = form.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot save %s\n", argv[1]);
    return 1;
  }
  return 0;
}
