#pragma once
// MainSplitView is the divider between the hostfile list and the editor: the list stays between
// 150 and 400 pixels wide, and when the window is resized only the editor side grows or shrinks.
//
// Main thread only.
#include <QSplitter>

namespace app {

class MainSplitView : public QSplitter {
  Q_OBJECT

 public:
  static constexpr int kMinimumListWidth = 150;
  static constexpr int kMaximumListWidth = 400;

  // A horizontal splitter over `list` (first) and `editor` (second), which it takes as children.
  MainSplitView(QWidget* list, QWidget* editor, QWidget* parent = nullptr);
};

}  // namespace app
