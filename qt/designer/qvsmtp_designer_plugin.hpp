// Qt Designer's entry for the qvSMTP control: a widget-box group of its own
// with the toolbox image, the control placed on a form as its tile, and its
// properties edited in the property editor and stored in the .ui file.
//
// QUiLoader uses the same plugin to build forms at run time; only Designer
// calls initialize, so a control is created for design time exactly when the
// plugin has been initialized by Designer.
#pragma once

#include <QObject>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

namespace qv::qt {

class QvSmtpDesignerPlugin : public QObject, public QDesignerCustomWidgetInterface {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
  Q_INTERFACES(QDesignerCustomWidgetInterface)

 public:
  explicit QvSmtpDesignerPlugin(QObject* parent = nullptr) : QObject(parent) {}

  QString name() const override;
  QString group() const override;
  QString toolTip() const override;
  QString whatsThis() const override;
  QString includeFile() const override;
  QIcon icon() const override;
  bool isContainer() const override { return false; }
  QWidget* createWidget(QWidget* parent) override;
  bool isInitialized() const override { return initialized_; }
  void initialize(QDesignerFormEditorInterface* core) override;
  QString domXml() const override;

 private:
  bool initialized_ = false;
};

}  // namespace qv::qt
