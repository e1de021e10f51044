! Writes sample.dat: six records of four single-precision values, as a
! simulation might log one time step per record (time, x, y, energy).
program make_sample
  implicit none
  real :: step(4)
  integer :: n
  open(10, file='sample.dat', form='unformatted', access='sequential', &
       status='replace')
  do n = 0, 5
    step = [0.5 * n, cos(0.5 * n), sin(0.5 * n), 1.0 / (1.0 + n)]
    write(10) step
  end do
  close(10)
end program make_sample
