"""Reference stand-in for the vantor host, used to develop and test vantor_lacet."""
