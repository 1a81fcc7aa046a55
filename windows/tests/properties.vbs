' The properties of Network objects as a script host sees them, and
' ShowStatus. The first argument is the PROCESSOR_ARCHITECTURE that this
' host must run as (AMD64 or x86); the second, a database, is not used. Ends
' with "N passed, N failed" and that many failures as its exit code.
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
  If ok Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAILED: " & what
  End If
End Sub

Dim n, m, shown, stored, cpu

' A 32-bit host can only have loaded the 32-bit server: so this tells which
' DLL the objects below come from.
cpu = CreateObject("WScript.Shell").Environment("Process")("PROCESSOR_ARCHITECTURE")
Check cpu = WScript.Arguments(0), "the host runs as " & WScript.Arguments(0) & " (it runs as " & cpu & ")"

Set n = CreateObject("TORVIKA.Network")
Check n.MSAccessDBName = "" And VarType(n.MSAccessDBName) = vbString, "fresh MSAccessDBName is """""
Check n.MSAccessTableName = "" And VarType(n.MSAccessTableName) = vbString, "fresh MSAccessTableName is """""
Check n.Epochs = 0 And VarType(n.Epochs) = vbLong, "fresh Epochs is a Long 0"
Check n.HiddenLayerCount = 0 And VarType(n.HiddenLayerCount) = vbInteger, _
  "fresh HiddenLayerCount is an Integer 0"

' Plain stored values: no check of range or form.
n.Epochs = -25
Check n.Epochs = -25, "Epochs -25 reads back"
n.Epochs = 2147483647
Check n.Epochs = 2147483647, "Epochs 2147483647 reads back"
n.HiddenLayerCount = -1
Check n.HiddenLayerCount = -1, "HiddenLayerCount -1 reads back"
n.HiddenLayerCount = -32768
Check n.HiddenLayerCount = -32768, "HiddenLayerCount -32768 reads back"
stored = "C:\Data\Sales 1998.mdb"
n.MSAccessDBName = stored
Check n.MSAccessDBName = stored, "a path reads back unchanged"
n.MSAccessTableName = "  blanks and ""quotes"" "
Check n.MSAccessTableName = "  blanks and ""quotes"" ", "a table name reads back unchanged"

' A value the property's type cannot hold is refused by the conversion, and
' the stored value stays.
On Error Resume Next
n.HiddenLayerCount = 40000
Check Err.Number = 6, "HiddenLayerCount = 40000 overflows (error " & Err.Number & ")"
Err.Clear
n.Train
Check Err.Number = 438, "an unknown member is error 438 (error " & Err.Number & ")"
Err.Clear
On Error GoTo 0
Check n.HiddenLayerCount = -32768, "the refused value left HiddenLayerCount as it was"

' Each object has its own properties.
Set m = CreateObject("TORVIKA.Network")
Check m.Epochs = 0 And m.MSAccessDBName = "" And m.HiddenLayerCount = 0, _
  "a second object starts empty"
Check n.Epochs = 2147483647 And n.MSAccessDBName = stored, "the first object keeps its values"

shown = n.ShowStatus
Check IsEmpty(shown), "ShowStatus returns Empty"
shown = m.ShowStatus
Check IsEmpty(shown), "ShowStatus on a shown window returns Empty"
n.ShowStatus
Check True, "ShowStatus called as a statement"

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
