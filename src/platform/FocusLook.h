#pragma once
// A list that shows whether it has the keyboard focus. The style draws a selected line in the same colour with
// or without the focus, so tabbing from one list to the next showed nothing: with this, the selection bar is in
// the highlight colour while the list has the focus and in a quiet grey while another control has it.

class QAbstractItemView;

void showFocusOnSelection(QAbstractItemView* list);
