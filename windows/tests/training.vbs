' Training runs, relevance and errors as a script host sees them. The
' arguments are the PROCESSOR_ARCHITECTURE that this host must run as (AMD64
' or x86) and the database the test made (tables Sales and Wide). Ends with
' "N passed, N failed" and that many failures as its exit code.
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

Dim db, n, e, f, r, cpu
db = WScript.Arguments(1)

cpu = CreateObject("WScript.Shell").Environment("Process")("PROCESSOR_ARCHITECTURE")
Check cpu = WScript.Arguments(0), "the host runs as " & WScript.Arguments(0) & " (it runs as " & cpu & ")"

Set n = CreateObject("TORVIKA.Network")
n.MSAccessDBName = db
n.MSAccessTableName = "Sales"
n.Epochs = 12
n.RunNetwork
Check n.HiddenLayerCount = 20, "HiddenLayerCount 0 reads back 20 after a run"
n.HiddenLayerCount = -4
n.RunNetwork
Check n.HiddenLayerCount = -4, "HiddenLayerCount -4 stays after a run"

' An array of doubles. Wine's VBScript cannot index a typed array; the C++
' client checks its elements.
r = n.InputRelevance
Check VarType(r) = vbArray + vbDouble, "InputRelevance is an array of doubles (VarType " & VarType(r) & ")"

' Errors reach the script with their number; the object stays usable.
Set e = CreateObject("TORVIKA.Network")
On Error Resume Next
e.RunNetwork
Check Err.Number = 3024, "no database named: error 3024 (got " & Err.Number & ")"
Check Err.Source = "TORVIKA.Network", "error source (got """ & Err.Source & """)"
Check InStr(Err.Description, "Could not find file") > 0, "error text (got """ & Err.Description & """)"
Err.Clear
e.MSAccessDBName = db & ".missing"
e.MSAccessTableName = "Sales"
e.RunNetwork
Check Err.Number = 3024, "missing file: error 3024 (got " & Err.Number & ")"
Check InStr(Err.Description, ".missing") > 0, "the text names the file (got """ & Err.Description & """)"
Err.Clear
e.MSAccessDBName = db
r = e.InputRelevance
Check Err.Number = 9, "relevance before a run of its own: error 9 (got " & Err.Number & ")"
Err.Clear
e.MSAccessTableName = "NoSuchTable"
e.RunNetwork
Check Err.Number = 3078, "missing table: error 3078 (got " & Err.Number & ")"
Err.Clear
On Error GoTo 0

e.MSAccessTableName = "Wide"
e.Epochs = 3
e.RunNetwork
Check VarType(e.InputRelevance) = vbArray + vbDouble, "the object works after its errors"
e.MSAccessDBName = ""
Check IsEmpty(e.InputRelevance), "InputRelevance without a database is Empty"

' A second object on the thread resets the learning parameters, not the
' trained network, and has properties of its own.
Set f = CreateObject("TORVIKA.Network")
Check f.Epochs = 0 And f.MSAccessTableName = "", "the new object starts empty"
e.MSAccessDBName = db
Check VarType(e.InputRelevance) = vbArray + vbDouble, "the trained network survives a new object"

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
