// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences dialog.
#include "app/PreferencesDialog.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include "app/Captions.h"
#include "app/LevelMeter.h"
#include "app/MainWindow.h"
#include "app/MidiLearnMenu.h"
#include "core/Reporter.h"

namespace sorvane {

namespace {

// Device listings still running when their dialog closed, joined when the
// program ends.
std::vector<std::thread>& ListingsLeft() {
  static struct Left {
    std::vector<std::thread> Threads;
    ~Left() {
      for (std::thread& t : Threads) t.join();
    }
  } left;
  return left.Threads;
}

// Whether a server's listing belongs to the system chosen.
bool IsPulse(const SoundServerDevices& server) { return server.System.rfind("PulseAudio", 0) == 0; }
bool IsJack(const SoundServerDevices& server) { return server.System == "JACK"; }

// The servers whose devices the chosen system would use: Automatic takes
// the first that answers, in the order the program tries them.
std::vector<const SoundServerDevices*> ServersFor(SoundChoice choice, const std::vector<SoundServerDevices>& all) {
  std::vector<const SoundServerDevices*> chosen;
  if (choice == SoundChoice::Automatic) {
    for (bool (*kind)(const SoundServerDevices&) : {&IsPulse, &IsJack}) {
      for (const SoundServerDevices& server : all) {
        if (kind(server) && server.Reachable) return {&server};
      }
    }
    for (const SoundServerDevices& server : all) chosen.push_back(&server);
    return chosen;
  }
  for (const SoundServerDevices& server : all) {
    if (choice == SoundChoice::Pulse ? IsPulse(server) : IsJack(server)) chosen.push_back(&server);
  }
  return chosen;
}

QString DeviceText(const SoundDeviceInfo& device) {
  const QString name = QString::fromStdString(device.Name);
  const QString description = QString::fromStdString(device.Description);
  if (description.isEmpty() || description == name) return name;
  return QStringLiteral("%1 (%2)").arg(description, name);
}

// "Default" first, then the devices, then current when it is not among them.
void FillDeviceBox(QComboBox* box, const std::vector<const SoundDeviceInfo*>& devices, const QString& current) {
  box->clear();
  box->addItem(CaptionText(Caption::PrefsDefaultDevice), QString());
  for (const SoundDeviceInfo* device : devices) {
    box->addItem(DeviceText(*device), QString::fromStdString(device->Name));
  }
  int index = box->findData(current);
  if (index < 0) {
    box->addItem(current, current);
    index = box->count() - 1;
  }
  box->setCurrentIndex(index);
}

QString SelectedDevice(const QComboBox* box) { return box->currentData().toString(); }

}  // namespace

TPreferencesDialog::DeviceLister TPreferencesDialog::DefaultLister() {
#ifdef SORVANE_HAVE_SOUND
  return &ListSoundDevices;
#else
  return [] { return std::vector<SoundServerDevices>(); };
#endif
}

TPreferencesDialog::TPreferencesDialog(MainWindow& form, DeviceLister lister) : QDialog(&form), Form(form) {
  setModal(true);
  setFont(form.font());
  setWindowTitle(CaptionText(Caption::PrefsTitle));

  auto* sound = new QFormLayout;
  SystemBox = new QComboBox(this);
  SystemBox->addItem(CaptionText(Caption::PrefsAutomatic));
  SystemBox->addItem(CaptionText(Caption::PrefsPulse));
  SystemBox->addItem(U("JACK"));
  sound->addRow(CaptionText(Caption::PrefsSoundSystem), SystemBox);
  InputBox = new QComboBox(this);
  sound->addRow(CaptionText(Caption::PrefsInputDevice), InputBox);
  OutputBox = new QComboBox(this);
  sound->addRow(CaptionText(Caption::PrefsOutputDevice), OutputBox);
  DeviceNote = new QLabel(CaptionText(Caption::PrefsListingDevices), this);
  DeviceNote->setWordWrap(true);
  sound->addRow(QString(), DeviceNote);
  LatencyBox = new QComboBox(this);
  LatencyBox->addItem(CaptionText(Caption::PrefsLatencyNormal));
  LatencyBox->addItem(CaptionText(Caption::PrefsLatencyLow));
  sound->addRow(CaptionText(Caption::PrefsLatency), LatencyBox);
  ChannelBox = new QComboBox(this);
  ChannelBox->addItem(CaptionText(Caption::PrefsAllChannels));
  for (int channel = 1; channel <= kMidiChannels; ++channel) ChannelBox->addItem(QString::number(channel));
  sound->addRow(CaptionText(Caption::PrefsMidiChannel), ChannelBox);

  auto* level = new QHBoxLayout;
  LevelSlider = new QSlider(Qt::Horizontal, this);
  const MidiControlRange levelRange = kMidiControlRanges[static_cast<int>(MidiControl::OutputLevel)];
  LevelSlider->setRange(levelRange.Min, levelRange.Max);
  LevelSlider->setSingleStep(1);
  LevelSlider->setPageStep(3);
  LevelLabel = new QLabel(this);
  // Room for the widest value, so that the slider does not move.
  LevelLabel->setMinimumWidth(LevelLabel->fontMetrics().horizontalAdvance(QStringLiteral("-24 dB")) + 4);
  level->addWidget(LevelSlider, 1);
  level->addWidget(LevelLabel);
  sound->addRow(CaptionText(Caption::PrefsOutputLevel), level);
  Levels = new LevelMonitor(form.Engine(), sound, LevelSlider, this);
  connect(LevelSlider, &QSlider::valueChanged, this, [this](int db) { ShowLevel(db); });
  constexpr int kLevel = static_cast<int>(MidiControl::OutputLevel);
  LevelMenu = new MidiLearnMenu(
      LevelSlider, [this] { return Controllers[kLevel]; },
      [this] {
        if (MidiInput* midi = Form.MidiIn()) midi->StartLearning(MidiControl::OutputLevel);
      },
      [this] {
        Controllers[kLevel] = kNoController;
        ShowControllers();
      });

  Expression = new ExpressionControls(this, form, Controllers, [this] { ShowControllers(); });

  ControllerTable = MakeControllerTable(this, ForgetButtons);
  for (int row = 0; row < kMidiControlCount; ++row) {
    connect(ForgetButtons[row], &QPushButton::clicked, this, [this, row] {
      Controllers[row] = kNoController;
      ShowControllers();
    });
  }

  WhenNote = new QLabel(CaptionText(Caption::PrefsWhenNote), this);
  WhenNote->setWordWrap(true);

  Buttons =
      new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
  Buttons->button(QDialogButtonBox::Ok)->setText(CaptionText(Caption::PrefsOk));
  Buttons->button(QDialogButtonBox::Cancel)->setText(CaptionText(Caption::PrefsCancel));
  RestoreButton = Buttons->button(QDialogButtonBox::RestoreDefaults);
  RestoreButton->setText(CaptionText(Caption::PrefsRestoreDefaults));
  connect(Buttons, &QDialogButtonBox::accepted, this, &TPreferencesDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, this, &TPreferencesDialog::reject);
  connect(RestoreButton, &QPushButton::clicked, this, [this] { ShowPreferences(Preferences()); });

  auto* column = new QVBoxLayout(this);
  column->addLayout(sound);
  column->addWidget(new QLabel(CaptionText(Caption::PrefsControllersLearnt), this));
  column->addWidget(ControllerTable);
  column->addWidget(Expression);
  column->addWidget(WhenNote);
  column->addWidget(Buttons);
  setMinimumWidth(420);
  // Never squeezed below its contents, even where a small screen would open it shorter.
  setMinimumHeight(column->totalHeightForWidth(minimumWidth()));

  ShowPreferences(form.PreferencesInForce());
  connect(SystemBox, &QComboBox::currentIndexChanged, this,
          [this] { FillDevices(SelectedDevice(InputBox), SelectedDevice(OutputBox)); });

  // A server that does not answer takes up to a few seconds to give up.
  // The listing posts to this dialog while it is there; a dialog closed
  // before does not wait for it.
  auto handOff = std::make_shared<ListingHandOff>();
  handOff->Dialog = this;
  HandOff = handOff;
  Lister = std::thread([handOff, lister = std::move(lister)] {
    std::vector<SoundServerDevices> servers = lister();
    const std::lock_guard<std::mutex> lock(handOff->Mutex);
    if (TPreferencesDialog* dialog = handOff->Dialog) {
      QMetaObject::invokeMethod(
          dialog, [dialog, servers = std::move(servers)]() mutable { dialog->DevicesArrived(std::move(servers)); },
          Qt::QueuedConnection);
    }
  });
}

TPreferencesDialog::~TPreferencesDialog() {
  // What the listing posted goes with the dialog; a listing still running
  // posts nothing more and is joined when the program ends.
  {
    const std::lock_guard<std::mutex> lock(HandOff->Mutex);
    HandOff->Dialog = nullptr;
  }
  if (Lister.joinable()) ListingsLeft().push_back(std::move(Lister));
}

void TPreferencesDialog::ShowPreferences(const Preferences& prefs) {
  {
    const QSignalBlocker block(SystemBox);
    SystemBox->setCurrentIndex(static_cast<int>(prefs.System));
  }
  FillDevices(prefs.InputDevice, prefs.OutputDevice);
  LatencyBox->setCurrentIndex(prefs.Latency == LatencyMode::Low ? 1 : 0);
  ChannelBox->setCurrentIndex(prefs.MidiChannel == kMidiAllChannels ? 0 : prefs.MidiChannel + 1);
  LevelSlider->setValue(prefs.OutputLevelDb);
  ShowLevel(LevelSlider->value());
  Expression->ShowPreferences(prefs);
  Controllers = prefs.Controllers;
  ShowControllers();
}

Preferences TPreferencesDialog::Chosen() const {
  Preferences prefs;
  prefs.System = static_cast<SoundChoice>(SystemBox->currentIndex());
  prefs.InputDevice = SelectedDevice(InputBox);
  prefs.OutputDevice = SelectedDevice(OutputBox);
  prefs.Latency = LatencyBox->currentIndex() == 1 ? LatencyMode::Low : LatencyMode::Normal;
  prefs.MidiChannel = ChannelBox->currentIndex() == 0 ? kMidiAllChannels : ChannelBox->currentIndex() - 1;
  prefs.OutputLevelDb = LevelSlider->value();
  Expression->ReadPreferences(prefs);
  prefs.Controllers = Controllers;
  return prefs;
}

bool TPreferencesDialog::WaitForDevices(int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  while (!Listed && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!Listed) QThread::msleep(5);
  }
  return Listed;
}

void TPreferencesDialog::ControllerLearnt(MidiControl control, int32_t controller) {
  for (int32_t& assigned : Controllers) {
    if (assigned == controller) assigned = kNoController;
  }
  Controllers[static_cast<int>(control)] = controller;
  ShowControllers();
}

void TPreferencesDialog::ShowFromMidi(MidiControl control, int32_t value) {
  if (control == MidiControl::OutputLevel) LevelSlider->setValue(value);
  Expression->ShowFromMidi(control, value);
}

void TPreferencesDialog::accept() {
  Form.AcceptPreferences(Chosen());
  QDialog::accept();
}

void TPreferencesDialog::done(int result) {
  // A learn started here and not finished ends with the dialog, OK or not:
  // the next controller moved, however much later, must not be taken.
  if (MidiInput* midi = Form.MidiIn()) {
    for (auto c : {MidiControl::OutputLevel, MidiControl::BendRange, MidiControl::GlideTime}) midi->CancelLearning(c);
  }
  // The level heard while the slider moved gives way to the one in force.
  Levels->Hear(Form.PreferencesInForce().OutputLevelDb);
  QDialog::done(result);
}

void TPreferencesDialog::DevicesArrived(std::vector<SoundServerDevices> servers) {
  Servers = std::move(servers);
  Listed = true;
  FillDevices(SelectedDevice(InputBox), SelectedDevice(OutputBox));
}

void TPreferencesDialog::FillDevices(const QString& input, const QString& output) {
  const std::vector<const SoundServerDevices*> servers =
      ServersFor(static_cast<SoundChoice>(SystemBox->currentIndex()), Servers);
  std::vector<const SoundDeviceInfo*> inputs;
  std::vector<const SoundDeviceInfo*> outputs;
  QStringList problems;
  for (const SoundServerDevices* server : servers) {
    for (const SoundDeviceInfo& device : server->Inputs) inputs.push_back(&device);
    for (const SoundDeviceInfo& device : server->Outputs) outputs.push_back(&device);
    if (!server->Reachable) {
      problems << CaptionText(Caption::PrefsNotReachable)
                      .arg(QString::fromStdString(server->System), QString::fromStdString(server->Problem));
    }
  }
  FillDeviceBox(InputBox, inputs, input);
  FillDeviceBox(OutputBox, outputs, output);
  if (Listed) DeviceNote->setText(problems.join(QLatin1Char('\n')));
  DeviceNote->setVisible(!DeviceNote->text().isEmpty());
}

void TPreferencesDialog::ShowLevel(int32_t db) {
  LevelLabel->setText(db > 0 ? QStringLiteral("+%1 dB").arg(db) : QStringLiteral("%1 dB").arg(db));
}

void TPreferencesDialog::ShowControllers() {
  for (int row = 0; row < kMidiControlCount; ++row) {
    const int32_t controller = Controllers[row];
    ControllerTable->item(row, 1)->setText(controller == kNoController ? CaptionText(Caption::PrefsNoController)
                                                                       : QString::number(controller));
    ForgetButtons[row]->setEnabled(controller != kNoController);
  }
  LevelMenu->Refresh();
  Expression->RefreshMenus();
}

}  // namespace sorvane
